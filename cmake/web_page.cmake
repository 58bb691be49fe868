# The page: a second link of the web program, for the browser, into build-web/site/ with
# index.html and Data/Lumen.lmd (lumen/web.cmake). Included from startup/CMakeLists.txt.
#
# The environment comes from the page's query (web/page_pre.js), files are in memory, the
# module is fetched and compiled by the browser. Act pauses the module until the next animation
# frame (asyncify): the imports that may pause are the backend's frame wait, the pacer's sleep of a
# headless run (lumen_web_pause, lumen/os/posix_stop.cpp) and the top-level
# fault handler's call of the program, which the module re-enters when it resumes. The run's
# end (exit) reaches the page through Module.onExit (EXIT_RUNTIME). The page is downloaded: its
# module is optimised for size (-Os, also its compile: cmake/web.cmake) and carries no debugging
# information (-g0 after the build type's -g); of the function names (--profiling-funcs) only
# those of the adapters stay, which fault places pass over (web/return_address.js,
# web/keep_names.py).
# The module is a factory (createStackrise, MODULARIZE): web/page.js compiles stackrise.wasm once
# and makes each run a fresh instance of it, with its own memory and file system.
set(STACKRISE_PAGE_IMPORTS "lumen_web_next_frame,stackrise_web_run,lumen_web_pause")
# The functions that are on the module's stack when it pauses, which alone are instrumented
# to put their frames aside and take them up again: the program's main and its run under the
# top-level fault handler, the town's frame loop, the Act entry point and the Session's act
# with the pacer and the backend's frame wait it calls (those that the compiler keeps out of
# line), the table calls between them (dynCall_*, made by JavaScript's invoke_* wrappers of
# calls that may throw) and the functions that the optimiser makes of several alike
# (byn$mgfn-shared$*: Act's shares one with Free). Any other function that could be on the
# stack then must be added here: the module then stops with an error at its first pause. The
# patterns that match nothing at this optimisation level (the build says which) name
# functions that another level keeps out of line.
set(STACKRISE_PAGE_PAUSING
  main "startup::*startAndRun*" "town::mainRoutine*" "town::runFrame*" "*serve*Act*"
  Act "Act::*" "lumen::Session::act*" "lumen::FramePacer::wait*" "lumen::os::sleepUntil*" "lumen::os::yieldToHost*"
  "lumen::*nextAnimationFrame*" "lumen::Backend*webPage*" "dynCall_*" "byn*mgfn-shared*")
list(JOIN STACKRISE_PAGE_PAUSING "," STACKRISE_PAGE_PAUSING)
add_executable(stackrise_page main.cpp ${BUILD_ID_CPP})
add_dependencies(stackrise_page stackrise_build_id)
target_link_libraries(stackrise_page PRIVATE stackrise_startup lumen)
set_target_properties(stackrise_page PROPERTIES
  OUTPUT_NAME stackrise RUNTIME_OUTPUT_DIRECTORY ${STACKRISE_SITE_DIR})
target_link_options(stackrise_page PRIVATE
  -sENVIRONMENT=web -sASYNCIFY=1 "-sASYNCIFY_IMPORTS=[${STACKRISE_PAGE_IMPORTS}]"
  "-sASYNCIFY_ONLY=[${STACKRISE_PAGE_PAUSING}]" -Oz -sMALLOC=emmalloc -sSUPPORT_LONGJMP=0
  -sTEXTDECODER=2 -sDYNAMIC_EXECUTION=0 -sSUPPORT_ERRNO=0
  "-sINCOMING_MODULE_JS_API=[preRun,onRuntimeInitialized,onExit,onAbort,print,printErr,instantiateWasm]"
  -sASYNCIFY_STACK_SIZE=65536 -sEXIT_RUNTIME=1 -sFORCE_FILESYSTEM=1
  -sALLOW_MEMORY_GROWTH=1 -sMAXIMUM_MEMORY=2GB
  -sSTACK_OVERFLOW_CHECK=1 -g0 --profiling-funcs -sMODULARIZE=1 -sEXPORT_NAME=createStackrise
  "SHELL:--pre-js ${PROJECT_SOURCE_DIR}/web/environment.js"
  "SHELL:--pre-js ${PROJECT_SOURCE_DIR}/web/page_pre.js")
# Of the function names only the adapters' stay (web/keep_names.py); the scripts' local names
# are shortened (web/minify.js, with the toolchain's terser).
set(STACKRISE_MINIFY env NODE_PATH=${STACKRISE_NODE_PATH} ${CMAKE_CROSSCOMPILING_EMULATOR}
    ${PROJECT_SOURCE_DIR}/web/minify.js ${EMSCRIPTEN_ROOT_PATH}/third_party/terser/terser.js)
add_custom_command(TARGET stackrise_page POST_BUILD
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/web/keep_names.py ${STACKRISE_SITE_DIR}/stackrise.wasm
  COMMAND ${STACKRISE_MINIFY} ${STACKRISE_SITE_DIR}/stackrise.js ${STACKRISE_SITE_DIR}/stackrise.js
  VERBATIM)
set_property(TARGET stackrise_page APPEND PROPERTY LINK_DEPENDS
  ${PROJECT_SOURCE_DIR}/web/environment.js ${PROJECT_SOURCE_DIR}/web/page_pre.js
  ${PROJECT_SOURCE_DIR}/web/minify.js)
configure_file(${PROJECT_SOURCE_DIR}/web/index.html ${STACKRISE_SITE_DIR}/index.html COPYONLY)
add_custom_command(OUTPUT ${STACKRISE_SITE_DIR}/page.js
  COMMAND ${STACKRISE_MINIFY} ${PROJECT_SOURCE_DIR}/web/page.js ${STACKRISE_SITE_DIR}/page.js
  DEPENDS ${PROJECT_SOURCE_DIR}/web/page.js ${PROJECT_SOURCE_DIR}/web/minify.js VERBATIM)
add_custom_target(stackrise_page_script DEPENDS ${STACKRISE_SITE_DIR}/page.js)
add_dependencies(stackrise_page stackrise_page_script)
# The page's icon, named in index.html: the program's small icon (resources/CMakeLists.txt).
add_dependencies(stackrise_page stackrise_page_icon)
