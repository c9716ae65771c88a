# Linux host: the launcher's logic as a library for tests, the package
# builder, the tests themselves, benchmarks and fuzzers.

# The fuzz build instruments everything, the launcher's own code included:
# the sanitizers catch its memory and arithmetic errors, and libFuzzer's
# coverage hooks (fuzzer-no-link) let the fuzzers steer by what it executes.
#
# The coverage variant instead counts every region of source that runs, for
# llvm-cov.  It needs neither the sanitizers nor libFuzzer's own coverage
# hooks: it only replays inputs (fuzz_X DIR... -runs=0), it does not search.
if(LAUNCHER_FUZZ AND LAUNCHER_FUZZ_COVERAGE)
    add_compile_options(-fprofile-instr-generate -fcoverage-mapping -g -O0)
    add_link_options(-fprofile-instr-generate)
elseif(LAUNCHER_FUZZ)
    add_compile_options(-fsanitize=address,undefined,fuzzer-no-link
                        -fno-sanitize-recover=undefined -g -O1)
    add_link_options(-fsanitize=address,undefined)
elseif(LAUNCHER_FUZZ_COVERAGE)
    message(FATAL_ERROR "LAUNCHER_FUZZ_COVERAGE needs LAUNCHER_FUZZ")
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(LZMA REQUIRED IMPORTED_TARGET liblzma)

add_compile_options(-Wall -Wextra)

add_library(stubcore STATIC ${STUB_CORE_SOURCES})
target_link_libraries(stubcore PUBLIC PkgConfig::LZMA)
target_include_directories(stubcore PUBLIC ${CMAKE_SOURCE_DIR}/src)

add_library(peimage STATIC tools/pefix/PeImage.cpp)
target_include_directories(peimage PUBLIC ${CMAKE_SOURCE_DIR}/tools/pefix)
add_executable(pefix tools/pefix/pefix.cpp)
target_link_libraries(pefix PRIVATE peimage)

add_subdirectory(tools/mkpackage)

if(LAUNCHER_FUZZ)
    add_subdirectory(fuzz)
else()
    enable_testing()
    add_subdirectory(tests)
    if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)
        add_subdirectory(bench)
    endif()
endif()
