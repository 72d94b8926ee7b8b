/*
** The dialect's statements and expressions: the '?' print shorthand, the
** single-line 'if'/'while' forms and compound assignment. A part of
** lparser.c, included there after 'explist' so that it uses the parser's
** own static functions.
*/
#ifndef hvx_lparser_h
#define hvx_lparser_h

/* the operator of each compound-assignment token, by (token - TK_ADDEQ) */
static const BinOpr hvx_compoundops[TK_CONCATEQ - TK_ADDEQ + 1] = {
  OPR_ADD, OPR_SUB, OPR_MUL, OPR_DIV, OPR_MOD, OPR_POW, OPR_IDIV,
  OPR_BAND, OPR_BOR, OPR_BXOR, OPR_SHL, OPR_SHR,
  OPR_NOBINOPR, OPR_NOBINOPR, OPR_NOBINOPR,  /* tokens never produced */
  OPR_CONCAT
};


static BinOpr hvx_compoundop (int token) {
  if (token < TK_ADDEQ || token > TK_CONCATEQ) return OPR_NOBINOPR;
  return hvx_compoundops[token - TK_ADDEQ];
}


/*
** End of a construct that closes at the end of its line: '<eol>' is
** consumed; at '<eof>' there is nothing to consume.
*/
static void hvx_closeeol (LexState *ls, int who, int line) {
  if (ls->t.token != TK_EOS)
    check_match(ls, TK_EOL, who, line);
}


/*
** End of a single-line 'if'/'while': at its line's end, or before a
** keyword that closes the enclosing block, which then no longer owes
** this construct a '<eol>'.
*/
static void hvx_closeline (LexState *ls, int who, int line) {
  switch (ls->t.token) {
    case TK_ELSE: case TK_ELSEIF: case TK_END: case TK_UNTIL:
      if (ls->pendingeol > 0) ls->pendingeol--;
      break;
    default:
      hvx_closeeol(ls, who, line);
  }
}


/*
** After the condition of an 'if' or 'while' on line 'line': whether the
** single-line form applies (condition in parentheses, nothing but the
** body after them on the same line); then its '<eol>' is armed.
** Otherwise 'keyword' ('then' or 'do') is required.
*/
static int hvx_oneline (LexState *ls, int allowed, int keyword, int line) {
  if (!allowed || ls->t.token == keyword || ls->t.token == TK_EOS ||
      ls->braces != 0 || ls->linenumber != line) {
    checknext(ls, keyword);
    return 0;
  }
  if (ls->pendingeol < MAX_INT) ls->pendingeol++;
  return 1;
}


/*
** '?' explist <eol>: print(explist) with one result, left in the call's
** base register. 'print' is found as if written in the source.
*/
static void hvx_shortprint (LexState *ls, expdesc *v) {
  FuncState *fs = ls->fs;
  int line = ls->linenumber;
  TString *name = luaS_newliteral(ls->L, "print");
  expdesc args;
  int base, nparams;
  luaX_next(ls);  /* skip '?' */
  singlevaraux(fs, name, v, 1);
  if (v->k == VVOID) {  /* global name? */
    expdesc key;
    singlevaraux(fs, ls->envn, v, 1);  /* get environment variable */
    lua_assert(v->k != VVOID);
    luaK_exp2anyregup(fs, v);  /* but could be a constant */
    codestring(&key, name);
    luaK_indexed(fs, v, &key);  /* env["print"] */
  }
  luaK_exp2nextreg(fs, v);
  base = v->u.info;
  if (ls->t.token == TK_EOL || ls->t.token == TK_EOS)
    args.k = VVOID;
  else {
    explist(ls, &args);
    if (hasmultret(args.k))
      luaK_setmultret(fs, &args);
  }
  hvx_closeeol(ls, '?', line);
  if (hasmultret(args.k))
    nparams = LUA_MULTRET;
  else {
    if (args.k != VVOID)
      luaK_exp2nextreg(fs, &args);
    nparams = fs->freereg - (base + 1);
  }
  luaK_codeABC(fs, OP_CALL, base, nparams + 1, 2);
  luaK_fixline(fs, line);
  fs->freereg = base + 1;
  init_exp(v, VNONRELOC, base);
}


/*
** target op= expr. The registers that hold the target's table and key
** are held by hidden locals while the right side is computed, so that it
** cannot reuse them before the store; they are released with the
** statement. The target is checked as a plain assignment checks it.
*/
static void hvx_compound (LexState *ls, expdesc *v) {
  FuncState *fs = ls->fs;
  BinOpr op = hvx_compoundop(ls->t.token);
  int nactvar = fs->nactvar;
  expdesc e1, e2;
  int nhidden, line, i;
  check_condition(ls, vkisvar(v->k), "syntax error");
  check_readonly(ls, v);
  e1 = *v;
  nhidden = fs->freereg - luaY_nvarstack(fs);
  for (i = 0; i < nhidden; i++)
    new_localvarliteral(ls, "(for compound)");
  adjustlocalvars(ls, nhidden);
  line = ls->linenumber;
  luaX_next(ls);  /* skip the operator */
  enterlevel(ls);
  luaK_infix(fs, op, &e1);
  expr(ls, &e2);
  luaK_posfix(fs, op, &e1, &e2, line);
  leavelevel(ls);
  luaK_storevar(fs, v, &e1);
  removevars(fs, nactvar);
}

#endif
