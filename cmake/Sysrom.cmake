# sysrom.dat beside the program: the scripts of sysrom/ packed by the host
# tool mkrom, rebuilt whenever a script or the tool changes.
file(GLOB_RECURSE HALVORAN_SYSROM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sysrom/*)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/sysrom.dat
  COMMAND $<TARGET_FILE:mkrom> --user-folder halvoran --prefix system
          -o ${CMAKE_BINARY_DIR}/sysrom.dat ${CMAKE_SOURCE_DIR}/sysrom
  DEPENDS mkrom ${HALVORAN_SYSROM_SOURCES}
  COMMENT "Packing sysrom/ into sysrom.dat"
  VERBATIM)
add_custom_target(sysrom ALL DEPENDS ${CMAKE_BINARY_DIR}/sysrom.dat)
# Building the program builds its ROM, so every run command finds it.
add_dependencies(halvoran sysrom)
