// Test ROMs: .hvx.rom images and whole sysrom.dat files made from
// {name -> bytes} with the runtime's own ROM codec, so tests boot real test
// kernels (install::set_sysrom, set_dat_blocks).
#pragma once

#include <map>
#include <string>

namespace hvx_test {

// A ROM image of the files; each file's parent folders get folder entries,
// and the entries come in the file table's order. Empty when the codec
// refuses the tree.
std::string make_rom(const std::map<std::string, std::string>& files);
// sysrom.dat: block 0 the per-user folder name, block 1 a ROM whose entries
// lie under "system/" (so "boot.lua" lands at /system/boot.lua).
std::string make_sysrom(const std::map<std::string, std::string>& system_files,
                        const std::string& user_folder = "halvoran");
// The reverse, as start-up does it: in a fresh file table, a RAM folder
// mounted at mount_at and the "system/" entries of dat's second block
// unpacked at folder. -1 when dat is not two blocks, else what unpacking
// returned; *user_folder gets block 0. The caller ends with pfile_reset().
int unpack_sysrom(const std::string& dat, const char* mount_at, const char* folder,
                  std::string* user_folder = nullptr);

}  // namespace hvx_test
