/*
** The dialect's small lexer helpers, included by llex.c (after its token
** enumeration is known).
*/
#ifndef hvx_llex_h
#define hvx_llex_h

/* the compound-assignment token of an operator character followed by '=' */
static int hvx_compoundtoken (int c) {
  switch (c) {
    case '%': return TK_MODEQ;
    case '&': return TK_BANDEQ;
    case '*': return TK_MULEQ;
    case '+': return TK_ADDEQ;
    case '\\': return TK_IDIVEQ;
    default: return TK_BOREQ;  /* '|' */
  }
}

/*
** '(' deepens a condition that is still open (counter above 0); once the
** condition's parenthesis closed, any further one moves the counter away
** from 0 for good (clamped, so it cannot overflow).
*/
static int hvx_openbrace (int braces) {
  if (braces > 0) return braces < MAX_INT ? braces + 1 : braces;
  return braces > -MAX_INT ? braces - 1 : braces;
}

#endif
