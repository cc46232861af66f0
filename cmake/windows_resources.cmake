# Windows resources of lumesk.exe (and of the window's test, which shows the
# same controls): src/shell/lumesk.rc with the program's icon, made during the
# build from the picture the program draws (src/shell/app_icon.cpp), its
# version, and our own manifest (src/shell/lumesk.manifest).
enable_language(RC)

if(CMAKE_CROSSCOMPILING)
  # The icon maker runs where the build runs, so it is built with that
  # machine's compiler; it needs nothing but the standard library.
  find_program(LUMESK_HOST_CXX NAMES c++ g++ clang++ REQUIRED)
  set(lumesk_make_icon ${CMAKE_BINARY_DIR}/make_icon_host)
  add_custom_command(OUTPUT ${lumesk_make_icon}
    COMMAND ${LUMESK_HOST_CXX} -std=c++20 -O2 -I${CMAKE_SOURCE_DIR}/src
            ${CMAKE_SOURCE_DIR}/src/shell/make_icon.cpp ${CMAKE_SOURCE_DIR}/src/shell/app_icon.cpp
            -o ${lumesk_make_icon}
    DEPENDS ${CMAKE_SOURCE_DIR}/src/shell/make_icon.cpp ${CMAKE_SOURCE_DIR}/src/shell/app_icon.cpp
            ${CMAKE_SOURCE_DIR}/src/shell/app_icon.h
    VERBATIM)
else()
  add_executable(lumesk_make_icon src/shell/make_icon.cpp)
  target_link_libraries(lumesk_make_icon PRIVATE lumesk_icon)
  set(lumesk_make_icon lumesk_make_icon)
endif()

set(lumesk_icon_file ${CMAKE_BINARY_DIR}/lumesk.ico)
add_custom_command(OUTPUT ${lumesk_icon_file}
  COMMAND ${lumesk_make_icon} ${lumesk_icon_file}
  DEPENDS ${lumesk_make_icon} VERBATIM)
add_custom_target(lumesk_icon_file DEPENDS ${lumesk_icon_file})

# windres looks for the files the script names along its include path.
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/shell/lumesk.rc PROPERTIES
  INCLUDE_DIRECTORIES "${LUMESK_WX_RC_INCLUDE};${CMAKE_SOURCE_DIR}/src/shell;${CMAKE_BINARY_DIR}"
  OBJECT_DEPENDS "${lumesk_icon_file};${CMAKE_SOURCE_DIR}/src/shell/lumesk.manifest")
