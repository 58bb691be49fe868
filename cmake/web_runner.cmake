# The web program: bin/stackrise.js and bin/stackrise.wasm, run by node as `node stackrise.js`.
# Included from startup/CMakeLists.txt for the web build.
#
# Lumen is linked in (lumen/web.h); the environment is the process's (web/node_pre.js); files
# are the host's (NODERAWFS); the module is compiled synchronously, so node never fetches it;
# the process's exit status is the program's. __builtin_return_address (fault places) needs the
# offset converter.
target_link_libraries(stackrise PRIVATE lumen)
target_link_options(stackrise PRIVATE
  -sNODERAWFS=1 -sENVIRONMENT=node -sWASM_ASYNC_COMPILATION=0 -sEXIT_RUNTIME=1
  -sALLOW_MEMORY_GROWTH=1 -sMAXIMUM_MEMORY=2GB -sUSE_OFFSET_CONVERTER=1
  -sSTACK_OVERFLOW_CHECK=1
  "SHELL:--pre-js ${PROJECT_SOURCE_DIR}/web/environment.js"
  "SHELL:--pre-js ${PROJECT_SOURCE_DIR}/web/node_pre.js")
set_property(TARGET stackrise APPEND PROPERTY LINK_DEPENDS
  ${PROJECT_SOURCE_DIR}/web/environment.js ${PROJECT_SOURCE_DIR}/web/node_pre.js)
