# The launcher executables (stub32.exe or stub64.exe) and the test engines.
enable_language(RC)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(STUB_NAME stub64)
else()
    set(STUB_NAME stub32)
endif()

# liblzma: decoder-only, static, cross-compiled once from Debian's xz-utils
# source package and cached in the build tree.
set(LIBLZMA_PREFIX ${CMAKE_BINARY_DIR}/liblzma)
# The script returns at once when the cached build has its settings.
message(STATUS "liblzma for ${MINGW_TRIPLET}: ${LIBLZMA_PREFIX} (built once, about 30 s)")
execute_process(
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/build-liblzma.sh ${MINGW_TRIPLET} ${LIBLZMA_PREFIX}
    RESULT_VARIABLE liblzma_result)
if(NOT liblzma_result EQUAL 0)
    message(FATAL_ERROR "liblzma for ${MINGW_TRIPLET} could not be built")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/scripts/build-liblzma.sh)
add_library(liblzma_static STATIC IMPORTED)
set_target_properties(liblzma_static PROPERTIES
    IMPORTED_LOCATION ${LIBLZMA_PREFIX}/lib/liblzma.a
    INTERFACE_INCLUDE_DIRECTORIES ${LIBLZMA_PREFIX}/include
    INTERFACE_COMPILE_DEFINITIONS LZMA_API_STATIC)

# pefix runs on the build machine, so it is compiled with the host compiler,
# at configure time; editing its sources configures again, and the stubs
# are linked again with the new pefix (LINK_DEPENDS below).
set(PEFIX ${CMAKE_BINARY_DIR}/host-tools/pefix)
set(PEFIX_SOURCES ${CMAKE_SOURCE_DIR}/tools/pefix/pefix.cpp ${CMAKE_SOURCE_DIR}/tools/pefix/PeImage.cpp)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PEFIX_SOURCES}
             ${CMAKE_SOURCE_DIR}/tools/pefix/PeImage.h)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/host-tools)
execute_process(
    COMMAND c++ -std=c++17 -O2 -o ${PEFIX} ${PEFIX_SOURCES}
    RESULT_VARIABLE pefix_result)
if(NOT pefix_result EQUAL 0)
    message(FATAL_ERROR "the host tool pefix could not be built")
endif()

# Every byte of the stub ships in every package: no exceptions, no RTTI, no
# unwind tables, sections collected by the linker, everything static.  The
# i686 compiler keeps frame pointers even at -Os; without them the code is
# about 400 bytes smaller and behaves the same.
set(STUB_COMPILE_OPTIONS
    -Os -fomit-frame-pointer -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fno-threadsafe-statics -ffunction-sections -fdata-sections -fno-stack-protector
    -Wall -Wextra -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(STUB_ENTRY StubEntry)
else()
    set(STUB_ENTRY _StubEntry)  # i686 symbols carry a leading underscore
endif()
set(STUB_LINK_OPTIONS
    -mwindows -nostartfiles -Wl,-e,${STUB_ENTRY} -static -static-libgcc -static-libstdc++ -s
    -Wl,--gc-sections -Wl,--no-insert-timestamp)
# The engine is decoded in memory with its packed bytes beside it: a 32-bit
# process limited to 2 GB of address space cannot hold the engines the
# package format allows.  Large-address-aware, it gets 4 GB on 64-bit
# Windows.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
    list(APPEND STUB_LINK_OPTIONS -Wl,--large-address-aware)
endif()

add_library(stubcore STATIC ${STUB_CORE_SOURCES})
target_compile_options(stubcore PRIVATE ${STUB_COMPILE_OPTIONS})
# One translation unit: the compiler then sees every step at once and
# inlines across files, about 200 bytes less than separate units.
set_target_properties(stubcore PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
target_link_libraries(stubcore PUBLIC liblzma_static)

# The real platform is compiled with the entry point: the test build of a
# deliberately vulnerable launcher (tests/engines) compiles its own.
add_executable(${STUB_NAME} WIN32 src/Stub32/Stub32.cpp src/StubCore/win32/Win32Platform.cpp src/Stub32/stub.rc)
target_compile_options(${STUB_NAME} PRIVATE ${STUB_COMPILE_OPTIONS})
target_link_options(${STUB_NAME} PRIVATE ${STUB_LINK_OPTIONS})
# Only kernel32 and msvcrt are imported; user32, advapi32, shell32 and mpr
# are loaded at run time by full system path (see Win32Platform).
target_link_libraries(${STUB_NAME} PRIVATE stubcore kernel32)
set_source_files_properties(src/Stub32/stub.rc PROPERTIES
    OBJECT_DEPENDS ${CMAKE_SOURCE_DIR}/src/Stub32/stub.manifest)
# GNU ld puts the PE header at 128, where the package locator belongs.
set_target_properties(${STUB_NAME} PROPERTIES LINK_DEPENDS ${PEFIX})
add_custom_command(TARGET ${STUB_NAME} POST_BUILD
    COMMAND ${PEFIX} $<TARGET_FILE:${STUB_NAME}>
    COMMENT "Moving the PE header of ${STUB_NAME}.exe to offset 256")

# Test engines: tiny programs that report how they were started, for both
# widths.
add_subdirectory(tests/engines)

# mkpackage.exe: the package builder for vendors who build on Windows, from
# the same sources as the Linux tool, with the Windows side of HostFiles.
# x86-64 only; a console program, everything linked statically, both
# launchers inside (stub32.exe from the win32 preset's build).
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(LIBLZMA_TOOL_PREFIX ${CMAKE_BINARY_DIR}/liblzma-tool)
    execute_process(
        COMMAND ${CMAKE_SOURCE_DIR}/scripts/build-liblzma.sh ${MINGW_TRIPLET} ${LIBLZMA_TOOL_PREFIX} tool
        RESULT_VARIABLE liblzma_tool_result)
    if(NOT liblzma_tool_result EQUAL 0)
        message(FATAL_ERROR "liblzma (encoder and decoder) for ${MINGW_TRIPLET} could not be built")
    endif()
    add_library(liblzma_tool STATIC IMPORTED)
    set_target_properties(liblzma_tool PROPERTIES
        IMPORTED_LOCATION ${LIBLZMA_TOOL_PREFIX}/lib/liblzma.a
        INTERFACE_INCLUDE_DIRECTORIES ${LIBLZMA_TOOL_PREFIX}/include
        INTERFACE_COMPILE_DEFINITIONS LZMA_API_STATIC)

    set(MKPACKAGE_VERSION 1.1.0)
    set(WIN32_BUILD ${CMAKE_SOURCE_DIR}/build/win32 CACHE PATH "build folder of the win32 preset")
    set(MKPACKAGE_DIR ${CMAKE_SOURCE_DIR}/tools/mkpackage)
    add_custom_command(
        OUTPUT ${CMAKE_BINARY_DIR}/EmbeddedLaunchers.cpp
        COMMAND ${CMAKE_COMMAND} -DSTUB32=${WIN32_BUILD}/stub32.exe -DSTUB64=$<TARGET_FILE:stub64>
                -DOUTPUT=${CMAKE_BINARY_DIR}/EmbeddedLaunchers.cpp
                -P ${CMAKE_SOURCE_DIR}/cmake/EmbedLaunchers.cmake
        DEPENDS ${WIN32_BUILD}/stub32.exe stub64 ${CMAKE_SOURCE_DIR}/cmake/EmbedLaunchers.cmake
        COMMENT "Embedding stub32.exe and stub64.exe into mkpackage.exe")
    add_executable(mkpackage
        ${STUB_CORE_SOURCES} tools/pefix/PeImage.cpp
        ${MKPACKAGE_DIR}/PackageWriter.cpp ${MKPACKAGE_DIR}/IcoFile.cpp ${MKPACKAGE_DIR}/VersionResource.cpp
        ${MKPACKAGE_DIR}/ResourceTree.cpp ${MKPACKAGE_DIR}/ResourceSection.cpp
        ${MKPACKAGE_DIR}/mkpackage.cpp ${MKPACKAGE_DIR}/Options.cpp ${MKPACKAGE_DIR}/TerminalText.cpp
        ${MKPACKAGE_DIR}/HostFilesWindows.cpp
        ${MKPACKAGE_DIR}/PackageCheck.cpp ${MKPACKAGE_DIR}/Build.cpp ${MKPACKAGE_DIR}/SignCommand.cpp ${MKPACKAGE_DIR}/Inspect.cpp
        ${MKPACKAGE_DIR}/Verify.cpp ${MKPACKAGE_DIR}/Sha256.cpp ${CMAKE_BINARY_DIR}/EmbeddedLaunchers.cpp
        ${MKPACKAGE_DIR}/mkpackage.rc)
    set_source_files_properties(${MKPACKAGE_DIR}/mkpackage.rc PROPERTIES
        OBJECT_DEPENDS ${MKPACKAGE_DIR}/mkpackage.manifest)
    target_include_directories(mkpackage PRIVATE ${CMAKE_SOURCE_DIR}/src ${MKPACKAGE_DIR} ${CMAKE_SOURCE_DIR}/tools/pefix)
    target_compile_definitions(mkpackage PRIVATE MKPACKAGE_VERSION="${MKPACKAGE_VERSION}" UNICODE _UNICODE
                               WIN32_LEAN_AND_MEAN NOMINMAX)
    target_compile_options(mkpackage PRIVATE -O2 -Wall -Wextra -municode)
    target_link_options(mkpackage PRIVATE -municode -static -static-libgcc -static-libstdc++ -s)
    target_link_libraries(mkpackage PRIVATE liblzma_tool)
    install(TARGETS mkpackage RUNTIME DESTINATION bin)
endif()
