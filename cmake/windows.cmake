# The two Windows programs: the product over kernel32, and the same program
# over the simulated machine for demonstrations and end-to-end tests.
file(GLOB PLATFORM_WIN32_SOURCES CONFIGURE_DEPENDS platform/win32/*.cpp)
add_library(tessavane_platform_win32 STATIC ${PLATFORM_WIN32_SOURCES})
target_include_directories(tessavane_platform_win32 PUBLIC ${CMAKE_SOURCE_DIR})

file(GLOB WINDOW_SOURCES CONFIGURE_DEPENDS ui/*_win32.cpp)
set(WINDOW_RESOURCES ${CMAKE_SOURCE_DIR}/res/tessavane.rc)

# GUI subsystem, Unicode entry point, every runtime linked in statically.
set(TESSAVANE_WIN_LINK -municode -mwindows -static -static-libgcc -static-libstdc++)

foreach(variant IN ITEMS product sim)
  if(variant STREQUAL "product")
    set(exe tessavane)
    set(platform tessavane_platform_win32)
  else()
    set(exe tessavane-sim)
    set(platform tessavane_platform_sim)
  endif()
  add_executable(${exe} WIN32 ${WINDOW_SOURCES} ${WINDOW_RESOURCES})
  target_include_directories(${exe} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${exe} PRIVATE UNICODE _UNICODE)
  target_link_options(${exe} PRIVATE ${TESSAVANE_WIN_LINK})
  target_link_libraries(${exe} PRIVATE tessavane_logic ${platform} tessavane_logic
                        comctl32 comdlg32)
endforeach()

# Windows-side test programs run under Wine by the end-to-end stage.
include(${CMAKE_SOURCE_DIR}/tests/contract/windows.cmake OPTIONAL)
include(${CMAKE_SOURCE_DIR}/e2e/windows.cmake OPTIONAL)
