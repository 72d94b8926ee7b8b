# Debian's packages: SDL2, LZ4, giflib, libcurl through pkg-config, zlib (the
# CRC-32) through CMake's own module; LodePNG and
# libbloom ship no pkg-config file and are found by header and library.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SDL2 REQUIRED IMPORTED_TARGET sdl2)
pkg_check_modules(LZ4 REQUIRED IMPORTED_TARGET liblz4)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
find_package(GIF REQUIRED)
find_package(ZLIB REQUIRED)

find_path(LODEPNG_INCLUDE_DIR lodepng.h PATH_SUFFIXES lodepng REQUIRED)
find_library(LODEPNG_LIBRARY lodepng REQUIRED)
find_path(BLOOM_INCLUDE_DIR bloom.h PATH_SUFFIXES bloom libbloom REQUIRED)
find_library(BLOOM_LIBRARY bloom REQUIRED)

add_library(halvoran_deps INTERFACE)
target_include_directories(halvoran_deps INTERFACE ${LODEPNG_INCLUDE_DIR} ${BLOOM_INCLUDE_DIR})
target_link_libraries(halvoran_deps INTERFACE PkgConfig::SDL2 PkgConfig::LZ4 PkgConfig::CURL GIF::GIF ZLIB::ZLIB
                      ${LODEPNG_LIBRARY} ${BLOOM_LIBRARY} pthread)
