# Libraries of the canvas capture (PNG and GIF writers) for lumen_core.
# Included from lumen/CMakeLists.txt after lumen_core is defined.
find_package(PNG REQUIRED)
find_package(GIF REQUIRED)
target_link_libraries(lumen_core PRIVATE PNG::PNG GIF::GIF)
