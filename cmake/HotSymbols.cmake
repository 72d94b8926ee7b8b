# A frame of an idle workstation wakes from its sleep to cold caches and TLB,
# so what it costs follows the pages it touches. The functions and variables
# it needs (hot_symbols.txt, written by tools/hot-symbols.py) are linked next
# to each other: each in a section of its own, laid out by gold's section
# order. Where gold is missing the program links as before. Gold passes over
# a listed name that no longer exists without a word: CI links this Release
# configuration and tools/check-hot-symbols.sh fails on such a name, or when
# gold was not used.
include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=gold HALVORAN_HAVE_GOLD)
set(HALVORAN_HOT_LINK_OPTIONS)
if(HALVORAN_HAVE_GOLD AND NOT HALVORAN_SANITIZE AND NOT HALVORAN_TSAN AND NOT HALVORAN_FUZZ)
  add_compile_options(-ffunction-sections -fdata-sections)
  set(hot_list ${CMAKE_CURRENT_LIST_DIR}/hot_symbols.txt)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${hot_list})
  file(STRINGS ${hot_list} hot_symbols REGEX "^[^#]")
  set(order "")
  foreach(symbol IN LISTS hot_symbols)
    foreach(kind .text .data .bss .rodata .data.rel.ro .data.rel.ro.local .data.rel .data.rel.local)
      string(APPEND order "${kind}.${symbol}\n")
    endforeach()
  endforeach()
  # Written only when it changes, so a configure alone does not relink.
  set(HALVORAN_SECTION_ORDER ${CMAKE_BINARY_DIR}/generated/section_order.txt)
  file(WRITE ${HALVORAN_SECTION_ORDER}.new "${order}")
  configure_file(${HALVORAN_SECTION_ORDER}.new ${HALVORAN_SECTION_ORDER} COPYONLY)
  set(HALVORAN_HOT_LINK_OPTIONS -fuse-ld=gold -Wl,--section-ordering-file=${HALVORAN_SECTION_ORDER})
endif()
