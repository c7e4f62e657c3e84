# segment_body_fuzz needs the whole core library (index build and search), so
# it gets its own instrumented copy of every core source.
file(GLOB_RECURSE DOVADURE_FUZZ_CORE_SOURCES CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/core/src/*.cpp)
add_library(dovadure_fuzz_core STATIC ${DOVADURE_FUZZ_CORE_SOURCES})
target_include_directories(dovadure_fuzz_core PUBLIC ${PROJECT_SOURCE_DIR}/core/src)
target_link_libraries(dovadure_fuzz_core PUBLIC Threads::Threads)
target_compile_options(dovadure_fuzz_core PUBLIC ${DOVADURE_FUZZ_FLAGS}
                       PRIVATE -fsanitize=fuzzer-no-link)
add_executable(segment_body_fuzz ${CMAKE_CURRENT_SOURCE_DIR}/segment_body_fuzz.cpp)
target_link_libraries(segment_body_fuzz PRIVATE dovadure_fuzz_core)
target_compile_options(segment_body_fuzz PRIVATE -fsanitize=fuzzer)
target_link_options(segment_body_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
