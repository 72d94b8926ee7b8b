// System-call registration: every global a process gets from the host, in
// the order they are bound.
#include <cmath>
#include <cstring>

#include "audio/audio.h"
#include "gfx/gfx.h"
#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"
#include "userdata/userdata.h"

// Each family's functions come from its subsystem; a name that shares
// another's function names it in same_as.
const api_entry api_functions[API_NAME_COUNT] = {
    // utility calls
    {"deli", lua54_deli, nullptr}, {"add", lua54_add, nullptr}, {"del", lua54_del, nullptr},
    {"count", lua54_count, nullptr},
    // system information
    {"time", lua54_time, nullptr}, {"t", nullptr, "time"}, {"stat", lua54_stat, nullptr},
    {"date", lua54_date, nullptr}, {"_kstat", lua54_kstat, nullptr},
    // graphics
    {"cls", lua54_cls, nullptr}, {"fillp", lua54_fillp, nullptr}, {"pset", lua54_pset, nullptr},
    {"pget", lua54_pget, nullptr}, {"fset", lua54_fset, nullptr}, {"fget", lua54_fget, nullptr},
    {"mset", lua54_mset, nullptr}, {"mget", lua54_mget, nullptr}, {"camera", lua54_camera, nullptr},
    {"clip", lua54_clip, nullptr}, {"rectfill", lua54_rectfill, nullptr}, {"rect", lua54_rect, nullptr},
    {"ovalfill", lua54_ovalfill, nullptr}, {"circfill", lua54_circfill, nullptr}, {"oval", lua54_oval, nullptr},
    {"circ", lua54_circ, nullptr}, {"rrect", lua54_rrect, nullptr}, {"rrectfill", lua54_rrectfill, nullptr},
    {"line", lua54_line, nullptr}, {"tline3d", lua54_tline3d, nullptr}, {"sspr", lua54_sspr, nullptr},
    {"spr", lua54_spr, nullptr}, {"_draw_map", lua54__draw_map, nullptr}, {"blit", lua54_blit, nullptr},
    {"_print_qzscii", lua54__print_qzscii, nullptr},
    // debug output
    {"_printh", lua54_printh, nullptr}, {"printh", nullptr, "_printh"},
    // utility
    {"_count_p", lua54_count_p, nullptr},
    // graphics
    {"cursor", lua54_cursor, nullptr}, {"color", lua54_color, nullptr}, {"pal", lua54_pal, nullptr},
    {"palt", lua54_palt, nullptr},
    // audio
    {"note", lua54_play_note, nullptr}, {"sfx", lua54_play_track, nullptr}, {"music", lua54_play_music, nullptr},
    // object data
    {"vyn", lua54_vyn, nullptr}, {"_vyn", nullptr, "vyn"}, {"_vyn_raw", nullptr, "vyn"},
    {"unvyn", lua54_unvyn, nullptr},
    // utility
    {"create_delta", lua54_create_delta, nullptr}, {"apply_delta", lua54_apply_delta, nullptr},
    // object files
    {"fetch", lua54_fetch, nullptr}, {"store", lua54_store, nullptr}, {"_fetch_local", nullptr, "fetch"},
    {"_store_local", nullptr, "store"},
    // file cache
    {"_cache_store", lua54_cache_store, nullptr}, {"_cache_fetch", lua54_cache_fetch, nullptr},
    // file history
    {"_fetch_anywhen", lua54__fetch_anywhen, nullptr},
    {"_fetch_anywhen_metadata", lua54__fetch_anywhen_metadata, nullptr},
    {"_list_anywhen_by_day", lua54__list_anywhen_by_day, nullptr},
    {"_list_anywhen_by_loc", lua54__list_anywhen_by_loc, nullptr},
    {"_list_anywhen_folder_moment", lua54__list_anywhen_folder_moment, nullptr},
    {"_anywhen_get_attr", lua54__anywhen_get_attr, nullptr},
    // network
    {"_fetch_remote", lua54__fetch_remote, nullptr}, {"_fetch_remote_result", lua54__fetch_remote_result, nullptr},
    // object files
    {"_fetch_metadata_from_file", lua54_fetch_metadata_from_file, nullptr},
    {"_store_metadata_str_to_file", lua54_store_metadata_str_to_file, nullptr},
    // paths and files
    {"_ls", lua54_ls, nullptr}, {"_mkdir", lua54_mkdir, nullptr}, {"_fstat", lua54_fstat, nullptr},
    {"_fullpath", lua54_fullpath, nullptr}, {"ls", nullptr, "_ls"}, {"mkdir", nullptr, "_mkdir"},
    {"fstat", nullptr, "_fstat"}, {"fullpath", nullptr, "_fullpath"}, {"cp", nullptr, "_fcopy"},
    {"_fcopy", lua54_fcopy, nullptr}, {"_fdelete", lua54_fdelete, nullptr},
    // processes and messages
    {"pid", lua54_pid, nullptr}, {"_send_message_raw", lua54_send_message, nullptr},
    {"send_message", nullptr, "_send_message_raw"}, {"_read_message", lua54_read_message, nullptr},
    // utility
    {"chr", lua54_chr, nullptr}, {"ord", lua54_ord, nullptr}, {"tokenoid", lua54_tokenoid, nullptr},
    // maths
    {"rnd", lua54_rnd, nullptr}, {"srand", lua54_srand, nullptr}, {"abs", lua54_abs, nullptr},
    {"sgn", lua54_sgn, nullptr}, {"max", lua54_max, nullptr}, {"min", lua54_min, nullptr},
    {"mid", lua54_mid, nullptr}, {"sqrt", lua54_sqrt, nullptr}, {"cos", lua54_cos, nullptr},
    {"sin", lua54_sin, nullptr}, {"atan2", lua54_atan2, nullptr}, {"flr", lua54_flr, nullptr},
    {"ceil", lua54_ceil, nullptr},
    // typed userdata
    {"userdata", lua54_userdata, nullptr}, {"vec", lua54_vec, nullptr}, {"get", lua54_get, nullptr},
    {"set", lua54_set, nullptr},
    // frames
    {"_flip", lua54_flip, nullptr}, {"flip", nullptr, "_flip"},
    // utility
    {"split", lua54_split, nullptr},
    // paths
    {"_ext", lua54_ext, nullptr}, {"_path", lua54_path, nullptr}, {"_hloc", lua54_hloc, nullptr},
    // clipboard
    {"_get_userland_clipboard_text", lua54_get_userland_clipboard_text, nullptr},
    {"_set_userland_clipboard_text", lua54_set_userland_clipboard_text, nullptr},
    // processes
    {"_yielded_to_escape_slice", lua54_yielded_to_escape_slice, nullptr},
    {"_create_process_from_code", lua54_create_process_from_code, nullptr},
    {"_run_process_slice", lua54_run_process_slice, nullptr},
    {"_kill_process", lua54_kill_process, nullptr},
    {"_close_process_host_resources", lua54_close_process_host_resources, nullptr},
    {"_halt", lua54_halt, nullptr},
    // mounts
    {"_mount", lua54_mount, nullptr}, {"mount", nullptr, "_mount"},
    // graphics
    {"_set_draw_target", lua54__set_draw_target, nullptr},
    // paths
    {"_pwd", lua54_pwd, nullptr}, {"_cd", lua54_cd, nullptr}, {"pwd", nullptr, "_pwd"},
    {"cd", nullptr, "_cd"}, {"_normalise_userland_path", lua54_normalise_userland_path, nullptr},
    {"norm", lua54_norm, nullptr}, {"_is_well_formed_bbs_path", lua54_is_well_formed_bbs_path, nullptr},
    {"_is_well_formed_vynnet_path", lua54_is_well_formed_vynnet_path, nullptr},
    // utility
    {"load", lua54_load, nullptr},
    // processes
    {"_blit_process_video", lua54_blit_process_video, nullptr}, {"_process_state", lua54_process_state, nullptr},
    {"_immediate_sandboxed_family", lua54_immediate_sandboxed_family, nullptr},
    {"_get_process_display_size", lua54_get_process_display_size, nullptr},
    {"_get_process_list", lua54_get_process_list, nullptr},
    // system control
    {"_apply_system_settings", lua54_apply_system_settings, nullptr},
    // input
    {"_apply_key_controls", lua54_apply_key_controls, nullptr},
    // system control
    {"_signal", lua54_signal, nullptr},
    // input
    {"_warp_mouse", lua54_warp_mouse, nullptr},
    // graphics
    {"_set_spr", lua54__set_spr, nullptr},
    // memory
    {"_map_ram", lua54_map_ram, nullptr}, {"_unmap_ram", lua54_unmap_ram, nullptr},
    // input
    {"_update_buttons", lua54_update_buttons, nullptr},
    // host window
    {"_set_host_window_icon", lua54_set_host_window_icon, nullptr},
    {"_set_host_window_title", lua54_set_host_window_title, nullptr},
    // network
    {"_fetch_udat", lua54__fetch_udat, nullptr}, {"fetch_udat", nullptr, "_fetch_udat"},
    {"_modify_user_session", lua54__modify_user_session, nullptr}, {"_scoresub", lua54_scoresub, nullptr},
    // utility
    {"_md5", lua54_md5, nullptr}, {"_crc", lua54_crc, nullptr}, {"_strindex", lua54_strindex, nullptr},
    // input
    {"btn", lua54_btn, nullptr}, {"btnp", lua54_btnp, nullptr},
    // memory
    {"peek", lua54_peek, nullptr}, {"poke", lua54_poke, nullptr}, {"peek2", lua54_peek2, nullptr},
    {"poke2", lua54_poke2, nullptr}, {"peek4", lua54_peek4, nullptr}, {"poke4", lua54_poke4, nullptr},
    {"peek8", lua54_peek8, nullptr}, {"poke8", lua54_poke8, nullptr}, {"_ppeek", lua54_ppeek, nullptr},
    {"_ppeek4", lua54_ppeek4, nullptr}, {"memcpy", lua54_memcpy, nullptr}, {"memset", lua54_memset, nullptr},
};

hvx_cfunction api_entry_function(int i) {
    if (i < 0 || i >= API_NAME_COUNT) return nullptr;
    const api_entry& e = api_functions[i];
    if (!e.same_as) return e.fn;
    for (const api_entry& f : api_functions)
        if (!f.same_as && std::strcmp(f.name, e.same_as) == 0) return f.fn;
    return nullptr;
}

void api_add_c_functions(lua_State* L) {
    if (!L) return;
    for (int i = 0; i < API_NAME_COUNT; i++) {
        hvx_cfunction f = api_entry_function(i);
        if (!f) continue;
        lua_pushcclosure(L, f, 0);
        lua_setglobal(L, api_functions[i].name);
    }
}
