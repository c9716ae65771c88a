# Linux host: the launcher's logic as a library for tests, the package
# builder, the tests themselves, benchmarks and fuzzers.
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
