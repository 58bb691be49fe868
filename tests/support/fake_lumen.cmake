# fake_lumen(NAME [DEFINITION...]): a stand-in runtime library NAME.lmd (fake_lumen.cpp) built
# with the compile definitions given, in the binary folder's fakes/, for the binding tests of
# either platform.
function(fake_lumen name)
  add_library(${name} MODULE ${PROJECT_SOURCE_DIR}/tests/support/fake_lumen.cpp)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/lumen/include)
  target_compile_definitions(${name} PRIVATE ${ARGN})
  target_link_libraries(${name} PRIVATE stackrise_flags)
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".lmd"
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/fakes)
endfunction()
