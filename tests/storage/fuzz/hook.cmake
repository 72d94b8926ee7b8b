# Lets tools/run-fuzzers.sh add the fuzz targets to a clang build of the
# project without the top-level file naming them: passed as
# CMAKE_PROJECT_INCLUDE, it defers including that file to the end of the
# top-level file, when halvoran_core exists.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR}
  CALL include ${CMAKE_CURRENT_LIST_DIR}/CMakeLists.txt)
