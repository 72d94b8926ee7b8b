// The file system's start: the tables of the two lowest concerns that hold
// state, and the hooks through which a lower concern calls a higher one.
#include "storage/storage.h"

#include "storage/storage_internal.h"

// A new cartridge mount's folder filled in its kind's form; a picture
// cartridge is never read back whole.
static bool load_cartridge_form(cart_kind kind, const char* folder, buffer* content) {
    if (kind == CART_KIND_TEXT) return populate_ram_folder_from_hvx_buffer(folder, content) == 0;
    if (kind == CART_KIND_ROM) return populate_ram_folder_from_hvx_rom_buffer_ex(folder, "", content, 0) == 0;
    if (kind == CART_KIND_PNG) populate_ram_folder_from_hvx_png_buffer(folder);
    return false;
}

void pfile_init() {
    set_ram_record_release_observer(note_ram_record_open);
    set_mount_flush(flush_dirty_mount);
    set_cart_loader(load_cartridge_form);
    anywhen_set_content_reader(unvyn_from_fetched_buffer);
    if (ram_files_init()) mount_table_init();
}

void pfile_reset() {
    pfile_init();
    ram_files_reset();
    mount_table_reset();
}
