# The two Windows programs: the product over kernel32, and the same program
# over the simulated machine for demonstrations and end-to-end tests.
file(GLOB PLATFORM_WIN32_SOURCES CONFIGURE_DEPENDS platform/win32/*.cpp)
add_library(tessavane_platform_win32 STATIC ${PLATFORM_WIN32_SOURCES})
target_include_directories(tessavane_platform_win32 PUBLIC ${CMAKE_SOURCE_DIR})

file(GLOB WINDOW_SOURCES CONFIGURE_DEPENDS ui/*_win32.cpp)
set(WINDOW_RESOURCES ${CMAKE_SOURCE_DIR}/res/tessavane.rc)

# The icon is drawn at build time from res/make_icon.sh; the repository holds
# no binary.
find_program(TESSAVANE_CONVERT convert REQUIRED)
find_program(TESSAVANE_ICOTOOL icotool REQUIRED)
set(TESSAVANE_ICON_DIR ${CMAKE_BINARY_DIR}/res)
file(MAKE_DIRECTORY ${TESSAVANE_ICON_DIR})
add_custom_command(
  OUTPUT ${TESSAVANE_ICON_DIR}/tessavane.ico
  COMMAND ${CMAKE_COMMAND} -E env CONVERT=${TESSAVANE_CONVERT} ICOTOOL=${TESSAVANE_ICOTOOL}
          sh ${CMAKE_SOURCE_DIR}/res/make_icon.sh ${TESSAVANE_ICON_DIR}/tessavane.ico
  DEPENDS ${CMAKE_SOURCE_DIR}/res/make_icon.sh
  COMMENT "Drawing the icon"
  VERBATIM)
add_custom_target(tessavane_icon DEPENDS ${TESSAVANE_ICON_DIR}/tessavane.ico)
set_source_files_properties(${WINDOW_RESOURCES} PROPERTIES
  OBJECT_DEPENDS ${TESSAVANE_ICON_DIR}/tessavane.ico)

# Some MinGW-w64 installs link a default application manifest into every
# program (default-manifest.o from the start files). The program carries none,
# so an empty object of that name is put first on the start-file path.
execute_process(
  COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=default-manifest.o
  OUTPUT_VARIABLE TESSAVANE_DEFAULT_MANIFEST OUTPUT_STRIP_TRAILING_WHITESPACE)
set(TESSAVANE_NO_MANIFEST_LINK "")
if(IS_ABSOLUTE "${TESSAVANE_DEFAULT_MANIFEST}" AND EXISTS "${TESSAVANE_DEFAULT_MANIFEST}")
  set(no_manifest_dir ${CMAKE_BINARY_DIR}/no-default-manifest)
  file(MAKE_DIRECTORY ${no_manifest_dir})
  file(WRITE ${no_manifest_dir}/empty.cpp "")
  execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} -c -o ${no_manifest_dir}/default-manifest.o
            ${no_manifest_dir}/empty.cpp
    RESULT_VARIABLE no_manifest_result)
  if(NOT no_manifest_result EQUAL 0)
    message(FATAL_ERROR "cannot build the empty default-manifest.o")
  endif()
  set(TESSAVANE_NO_MANIFEST_LINK -B${no_manifest_dir}/)
endif()

# GUI subsystem, Unicode entry point, every runtime linked in statically.
# No link time stamp, so the same sources give the same executable.
set(TESSAVANE_WIN_LINK -municode -mwindows -static -static-libgcc -static-libstdc++
    -Wl,--no-insert-timestamp)

foreach(variant IN ITEMS product sim)
  if(variant STREQUAL "product")
    set(exe tessavane)
    set(platform tessavane_platform_win32)
    # What technicians download carries no symbol table and no debug
    # sections (the static runtime brings its own): a third of the size.
    set(lean -s)
  else()
    set(exe tessavane-sim)
    set(platform tessavane_platform_sim)
    set(lean)
  endif()
  add_executable(${exe} WIN32 ${WINDOW_SOURCES} ${WINDOW_RESOURCES})
  target_include_directories(${exe} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${exe} PRIVATE UNICODE _UNICODE)
  target_include_directories(${exe} PRIVATE ${TESSAVANE_ICON_DIR})
  add_dependencies(${exe} tessavane_icon)
  target_link_options(${exe} PRIVATE ${TESSAVANE_WIN_LINK} ${TESSAVANE_NO_MANIFEST_LINK} ${lean})
  target_link_libraries(${exe} PRIVATE tessavane_logic ${platform}
                        comctl32 comdlg32)
endforeach()

# Windows-side test programs run under Wine by the end-to-end stage.
include(${CMAKE_SOURCE_DIR}/tests/contract/windows.cmake OPTIONAL)
include(${CMAKE_SOURCE_DIR}/e2e/windows.cmake OPTIONAL)
