# The page: a second link of the web program, for the browser, into build-web/site/ with
# index.html and Data/Lumen.lmd (lumen/web.cmake). Included from startup/CMakeLists.txt.
#
# The environment comes from the page's query (web/page_pre.js), files are in memory, the
# module is fetched and compiled by the browser. Act pauses the module until the next animation
# frame (asyncify): the imports that may pause are the backend's frame wait, the pacer's sleep of a
# headless run (lumen_web_pause, lumen/os/posix.cpp) and the top-level
# fault handler's call of the program, which the module re-enters when it resumes. The run's
# end (exit) reaches the page through Module.onExit (EXIT_RUNTIME). The page is downloaded: its
# module carries no debugging information (-g0 after the build type's -g), only the function
# names (--profiling-funcs) that fault places are named by (web/return_address.js).
# The module is a factory (createStackrise, MODULARIZE): web/page.js compiles stackrise.wasm once
# and makes each run a fresh instance of it, with its own memory and file system.
set(STACKRISE_PAGE_IMPORTS "lumen_web_next_frame,stackrise_web_run,lumen_web_pause")
add_executable(stackrise_page main.cpp ${BUILD_ID_CPP})
add_dependencies(stackrise_page stackrise_build_id)
target_link_libraries(stackrise_page PRIVATE stackrise_startup lumen)
set_target_properties(stackrise_page PROPERTIES
  OUTPUT_NAME stackrise RUNTIME_OUTPUT_DIRECTORY ${STACKRISE_SITE_DIR})
target_link_options(stackrise_page PRIVATE
  -sENVIRONMENT=web -sASYNCIFY=1 "-sASYNCIFY_IMPORTS=[${STACKRISE_PAGE_IMPORTS}]"
  -sASYNCIFY_STACK_SIZE=65536 -sEXIT_RUNTIME=1 -sFORCE_FILESYSTEM=1
  -sALLOW_MEMORY_GROWTH=1 -sMAXIMUM_MEMORY=2GB -sUSE_OFFSET_CONVERTER=1
  -sSTACK_OVERFLOW_CHECK=1 -g0 --profiling-funcs -sMODULARIZE=1 -sEXPORT_NAME=createStackrise
  "SHELL:--pre-js ${PROJECT_SOURCE_DIR}/web/environment.js"
  "SHELL:--pre-js ${PROJECT_SOURCE_DIR}/web/page_pre.js")
set_property(TARGET stackrise_page APPEND PROPERTY LINK_DEPENDS
  ${PROJECT_SOURCE_DIR}/web/environment.js ${PROJECT_SOURCE_DIR}/web/page_pre.js)
foreach(file web/index.html web/page.js resources/stackrise.ico)
  get_filename_component(name ${file} NAME)
  configure_file(${PROJECT_SOURCE_DIR}/${file} ${STACKRISE_SITE_DIR}/${name} COPYONLY)
endforeach()
