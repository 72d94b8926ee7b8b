# The Lua 5.4 core: Debian's lua5.4 source package (upstream tarball plus
# Debian's two upstream bug fixes) with our patch series from lang/patches
# applied, compiled as C++ so that a Lua error unwinds C++ frames, together
# with the core-side sources in lang/core.
#
# With HALVORAN_BENCH the same tarball is also built without our series
# (lua54_stock), with the same compiler and flags, as the anchor of the
# language benchmarks. Its symbols live in the namespace lua_stock, so it can
# share an executable with lua54_core.
set(LUA_PATCH_DIR ${CMAKE_SOURCE_DIR}/lang/patches)
file(STRINGS ${LUA_PATCH_DIR}/series LUA_PATCHES)
set(LUA_PATCH_FILES ${LUA_PATCH_DIR}/series ${CMAKE_SOURCE_DIR}/tools/fetch-lua.sh)
foreach(p ${LUA_PATCHES})
  if(NOT p MATCHES "^#" AND NOT p STREQUAL "")
    list(APPEND LUA_PATCH_FILES ${LUA_PATCH_DIR}/${p})
  endif()
endforeach()
# Re-run the fetch/patch step whenever the series or a patch changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${LUA_PATCH_FILES})

function(_halvoran_fetch_lua dest patchdir)
  execute_process(
    COMMAND bash ${CMAKE_SOURCE_DIR}/tools/fetch-lua.sh ${HALVORAN_CACHE_DIR} ${dest} ${patchdir}
    RESULT_VARIABLE lua_fetch_result)
  if(NOT lua_fetch_result EQUAL 0)
    message(FATAL_ERROR "could not obtain and patch the Lua 5.4.4 source (see above)")
  endif()
endfunction()

if(HALVORAN_LUA_SOURCE_DIR)
  set(LUA_DIR ${HALVORAN_LUA_SOURCE_DIR})
else()
  set(LUA_DIR ${CMAKE_BINARY_DIR}/lua-5.4.4)
  _halvoran_fetch_lua(${LUA_DIR} ${LUA_PATCH_DIR})
endif()
if(NOT EXISTS ${LUA_DIR}/src/lapi.c)
  message(FATAL_ERROR "no Lua source tree at ${LUA_DIR}")
endif()

# Flags shared by the product core and the stock anchor.
set(LUA_CORE_DEFINITIONS LUA_USE_LINUX)
set(LUA_CORE_OPTIONS -w -xc++)
# The interpreter loop: with these every handler keeps its own dispatch jump
# instead of sharing one, fewer instructions and a speed that depends much
# less on where the code happens to land. GCC's options; clang (the fuzzing
# build) has no such passes to turn off.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(LUA_VM_OPTIONS -fno-gcse -fno-crossjumping)
else()
  set(LUA_VM_OPTIONS "")
endif()

file(GLOB LUA_SOURCES ${LUA_DIR}/src/*.c)
# Not part of the program: the stand-alone interpreter and compiler, and the
# libraries scripts do not get (files, operating system, modules).
list(REMOVE_ITEM LUA_SOURCES ${LUA_DIR}/src/lua.c ${LUA_DIR}/src/luac.c
     ${LUA_DIR}/src/liolib.c ${LUA_DIR}/src/loslib.c ${LUA_DIR}/src/loadlib.c)
set_source_files_properties(${LUA_SOURCES} PROPERTIES LANGUAGE CXX)
halvoran_compiled_sources(LUA_HVX_SOURCES ${CMAKE_SOURCE_DIR}/lang/core)

add_library(lua54_core STATIC ${LUA_SOURCES} ${LUA_HVX_SOURCES})
target_include_directories(lua54_core PUBLIC ${LUA_DIR}/src ${CMAKE_SOURCE_DIR}/lang/core)
target_include_directories(lua54_core PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(lua54_core PUBLIC ${LUA_CORE_DEFINITIONS})
target_compile_options(lua54_core PRIVATE ${LUA_CORE_OPTIONS})
set_source_files_properties(${LUA_DIR}/src/lvm.c TARGET_DIRECTORY lua54_core PROPERTIES COMPILE_OPTIONS "${LUA_VM_OPTIONS}")
target_link_libraries(lua54_core PUBLIC m dl)

if(HALVORAN_BENCH)
  set(LUA_STOCK_DIR ${CMAKE_BINARY_DIR}/lua-5.4.4-stock)
  _halvoran_fetch_lua(${LUA_STOCK_DIR} -)
  file(GLOB stock_sources ${LUA_STOCK_DIR}/src/*.c)
  list(REMOVE_ITEM stock_sources ${LUA_STOCK_DIR}/src/lua.c ${LUA_STOCK_DIR}/src/luac.c)
  # One wrapper per source file (the same translation units as the product
  # core, so the compiler sees the same code), each inside the namespace.
  set(stock_wrappers)
  foreach(src ${stock_sources})
    get_filename_component(name ${src} NAME_WE)
    set(wrapper ${CMAKE_BINARY_DIR}/generated/lua_stock/${name}.cpp)
    file(CONFIGURE OUTPUT ${wrapper} CONTENT [[
#include "lprefix.h"
#include <assert.h>
#include <ctype.h>
#include <dlfcn.h>
#include <errno.h>
#include <float.h>
#include <limits.h>
#include <locale.h>
#include <math.h>
#include <setjmp.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
namespace lua_stock {
/* the anchor's string hashes repeat from run to run, as ours do there */
#define luai_makeseed(L) LUA_STOCK_SEED
#include "@name@.c"
}
]] @ONLY)
    list(APPEND stock_wrappers ${wrapper})
  endforeach()
  # The anchor's entry point for the benchmarks: runs one chunk in a fresh
  # state with the stock libraries, on the stock allocator or on alloc;
  # 0 when it ran without error.
  set(stock_runner ${CMAKE_BINARY_DIR}/generated/lua_stock/runner.cpp)
  file(CONFIGURE OUTPUT ${stock_runner} CONTENT [[
#include <stddef.h>
#include <stdio.h>
namespace lua_stock {
#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"
}
int lua_stock_run(const char* code, size_t len, void* (*alloc)(void*, void*, size_t, size_t),
                  void* ud) {
    using namespace lua_stock;
    lua_State* L = alloc ? lua_newstate(alloc, ud) : luaL_newstate();
    if (!L) return -1;
    luaL_openlibs(L);
    int st = luaL_loadbufferx(L, code, len, "=stock", "t");
    if (st == LUA_OK) st = lua_pcall(L, 0, 0, 0);
    if (st != LUA_OK) fprintf(stderr, "stock: %s\n", lua_tostring(L, -1));
    lua_close(L);
    return st;
}
]] @ONLY)
  add_library(lua54_stock STATIC ${stock_wrappers} ${stock_runner})
  target_include_directories(lua54_stock PRIVATE ${LUA_STOCK_DIR}/src)
  target_compile_definitions(lua54_stock PRIVATE ${LUA_CORE_DEFINITIONS} LUA_STOCK_SEED=0x5eed5eedu)
  target_compile_options(lua54_stock PRIVATE ${LUA_CORE_OPTIONS})
  set_source_files_properties(${CMAKE_BINARY_DIR}/generated/lua_stock/lvm.cpp TARGET_DIRECTORY lua54_stock
                              PROPERTIES COMPILE_OPTIONS "${LUA_VM_OPTIONS}")
  target_link_libraries(lua54_stock PUBLIC m dl)
  # The language benchmark runs both side by side; its target is made later,
  # in bench/, so the link is added once every directory has been read.
  function(_halvoran_link_stock_bench)
    if(TARGET lang_bench)
      target_link_libraries(lang_bench PRIVATE lua54_stock)
    endif()
    if(TARGET frontend_bench)
      target_link_libraries(frontend_bench PRIVATE lua54_stock)
    endif()
  endfunction()
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _halvoran_link_stock_bench)
endif()
