# What a Windows program carries besides its code, and the zip it is handed
# out in:
#  - the application manifest and the version resource (app/win32/program.rc),
#    both from the project version;
#  - the icon in 16, 32, 48 and 256 pixels, joined at build time from the
#    pictures the Linux packages install as the desktop icon (data/icons);
#  - after every link, a check of all three as Windows will read them from the
#    file (cmake/pe_resources.py): a broken manifest would otherwise show only
#    on Windows, as a program that does not start;
#  - tarnup-VERSION-windows.zip in the build folder: the program and a short
#    text for Windows operators (app/win32/README-Windows.txt.in).

# tarnup_windows_papers(<library> <program>): <program> gets the manifest and
# version resource; <library> makes the icon and the version header available
# to every resource script of its users (the window's, tarnup.rc).
function(tarnup_windows_papers library program)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(win32 ${CMAKE_CURRENT_SOURCE_DIR}/win32)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/papers)
  set(TARNUP_VERSION_QUAD ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0.0)
  configure_file(${win32}/version.h.in ${dir}/tarnup-version.h @ONLY)
  configure_file(${win32}/tarnup.manifest.in ${dir}/tarnup.manifest @ONLY)

  set(pictures)
  foreach(size 16 32 48 256)
    list(APPEND pictures ${PROJECT_SOURCE_DIR}/data/icons/tarnup-${size}.png)
  endforeach()
  add_custom_command(
    OUTPUT ${dir}/tarnup-icon.ico
    COMMAND Python3::Interpreter ${win32}/make_icon.py ${dir}/tarnup-icon.ico ${pictures}
    DEPENDS ${win32}/make_icon.py ${pictures}
    COMMENT "Making the program icon from data/icons"
    VERBATIM)
  add_custom_target(${program}_papers DEPENDS ${dir}/tarnup-icon.ico)
  add_dependencies(${library} ${program}_papers)
  target_include_directories(${library} PUBLIC ${dir})

  target_sources(${program} PRIVATE ${win32}/program.rc)
  set_source_files_properties(${win32}/program.rc PROPERTIES
    OBJECT_DEPENDS "${dir}/tarnup.manifest;${dir}/tarnup-version.h")
  set_source_files_properties(${win32}/tarnup.rc PROPERTIES OBJECT_DEPENDS ${dir}/tarnup-icon.ico)
  add_custom_command(TARGET ${program} POST_BUILD
    COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/cmake/pe_resources.py check
            $<TARGET_FILE:${program}> ${PROJECT_VERSION}
    VERBATIM)

  set(stage ${dir}/zip)
  set(zip ${CMAKE_BINARY_DIR}/tarnup-${PROJECT_VERSION}-windows.zip)
  # Notepad on older systems shows a text without carriage returns as one line.
  configure_file(${win32}/README-Windows.txt.in ${stage}/README.txt @ONLY NEWLINE_STYLE CRLF)
  add_custom_command(
    OUTPUT ${zip}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${program}> ${stage}/tarnup.exe
    COMMAND ${CMAKE_COMMAND} -E rm -f ${zip}
    COMMAND ${CMAKE_COMMAND} -E chdir ${stage}
            ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip tarnup.exe README.txt
    DEPENDS ${program} ${stage}/README.txt
    COMMENT "Packing ${zip}"
    VERBATIM)
  add_custom_target(${program}_zip ALL DEPENDS ${zip})
  set(TARNUP_WINDOWS_ZIP ${zip} PARENT_SCOPE)
endfunction()
