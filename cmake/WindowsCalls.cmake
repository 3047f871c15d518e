# A program's list of Windows calls (platform/windows_calls.h for
# tessardctl.exe) and what the build makes from it and checks against it.
# A list holds one row per Windows function the program calls:
#   WINDOWS_CALL(dll, name, result, (parameters), (arguments))
#   WINDOWS_BYPASS(dll, name, reason)
# each starting on a line of its own with its DLL and name.

# Reads the rows of `list` into the CMake list `out`, one "call dll name" or
# "bypass dll name" entry per row (the DLL in lower case, as the import
# libraries are named). Editing the list runs CMake again.
function(_tessard_read_windows_calls list out)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list})
  file(STRINGS ${list} lines REGEX "^[ \t]*WINDOWS_")
  set(rows "")
  foreach(line IN LISTS lines)
    string(REGEX MATCH
           "^[ \t]*WINDOWS_(CALL|BYPASS)\\([ \t]*([A-Za-z0-9_]+),[ \t]*([A-Za-z0-9_]+),"
           row "${line}")
    if(NOT row)
      message(FATAL_ERROR "${list}: a row must start with WINDOWS_CALL(dll, "
                          "name, or WINDOWS_BYPASS(dll, name, on one line: ${line}")
    endif()
    string(TOLOWER "${CMAKE_MATCH_1}" kind)
    string(TOLOWER "${CMAKE_MATCH_2}" dll)
    list(APPEND rows "${kind} ${dll} ${CMAKE_MATCH_3}")
  endforeach()
  set(${out} "${rows}" PARENT_SCOPE)
endfunction()

# tessard_delay_load(<target> LIST <list> DLLS <dll>...)
# Links <target> with delay-load import libraries of the given DLLs, made
# from the list's rows of each DLL: the DLL is mapped at the first call of
# one of its functions instead of at start-up. A function of such a DLL
# that the list lacks would come from the ordinary import library and map
# the DLL at start-up again; tessard_check_windows_calls fails the build
# before that.
function(tessard_delay_load target)
  cmake_parse_arguments(ARG "" "LIST" "DLLS" ${ARGN})
  find_program(TESSARD_DLLTOOL NAMES ${CMAKE_C_COMPILER_TARGET}-dlltool
               x86_64-w64-mingw32-dlltool REQUIRED)
  _tessard_read_windows_calls(${ARG_LIST} rows)
  set(libs "")
  foreach(dll IN LISTS ARG_DLLS)
    set(exports "")
    foreach(row IN LISTS rows)
      if(row MATCHES "^[a-z]+ ${dll} (.+)$")
        string(APPEND exports "${CMAKE_MATCH_1}\n")
      endif()
    endforeach()
    if(exports STREQUAL "")
      message(FATAL_ERROR "${ARG_LIST} lists no ${dll} function to delay-load")
    endif()
    set(def ${CMAKE_CURRENT_BINARY_DIR}/${dll}_delay.def)
    set(lib ${CMAKE_CURRENT_BINARY_DIR}/lib${dll}_delay.a)
    # Written only when it changes, so that an unrelated edit of the list
    # does not relink.
    file(CONFIGURE OUTPUT ${def} CONTENT
         "; Made from ${ARG_LIST}.\nLIBRARY ${dll}.dll\nEXPORTS\n${exports}"
         @ONLY)
    add_custom_command(OUTPUT ${lib}
      COMMAND ${TESSARD_DLLTOOL} --input-def ${def} --dllname ${dll}.dll
              --output-delaylib ${lib}
      DEPENDS ${def}
      COMMENT "Delay-load import library for ${dll}.dll")
    list(APPEND libs ${lib})
  endforeach()
  add_custom_target(${target}_delay_libs DEPENDS ${libs})
  add_dependencies(${target} ${target}_delay_libs)
  target_link_libraries(${target} PUBLIC ${libs} delayimp)
endfunction()

# tessard_check_windows_calls(<program> LIST <list> SEAM <library>
#                             [LIBRARIES <library>...]
#                             [AROUND_SEAM <function>...])
# After <program> links, compares the list with the Windows functions that
# the program's code imports: those of SEAM (the seam's forwarding, made
# from the list) must be the list's seam calls; those of the program's own
# objects and of LIBRARIES (the rest of the program's code) must be its
# bypasses; each bypass must be called; each row's DLL must export its
# function. Any difference fails the build (cmake/check_windows_calls.sh
# says what to change).
# AROUND_SEAM names seam calls that the program's code still makes straight
# to Windows while it is being moved behind the seam: the check lets those
# pass, and fails once one of them is no longer called around the seam, so
# that the name leaves the list of exceptions as its last direct call goes.
function(tessard_check_windows_calls program)
  cmake_parse_arguments(ARG "" "LIST;SEAM" "LIBRARIES;AROUND_SEAM" ${ARGN})
  _tessard_read_windows_calls(${ARG_LIST} rows)
  foreach(name IN LISTS ARG_AROUND_SEAM)
    set(row "")
    foreach(candidate IN LISTS rows)
      if(candidate MATCHES "^call ([a-z0-9_]+) ${name}$")
        set(row "around ${CMAKE_MATCH_1} ${name}")
      endif()
    endforeach()
    if(NOT row)
      message(FATAL_ERROR "AROUND_SEAM ${name}: ${ARG_LIST} has no "
                          "WINDOWS_CALL row for it")
    endif()
    list(APPEND rows "${row}")
  endforeach()
  list(JOIN rows "\n" text)
  set(rows_file ${CMAKE_CURRENT_BINARY_DIR}/${program}_windows_calls.txt)
  file(CONFIGURE OUTPUT ${rows_file} CONTENT "${text}\n" @ONLY)

  set(code $<TARGET_OBJECTS:${program}>)
  foreach(library IN LISTS ARG_LIBRARIES)
    list(APPEND code $<TARGET_FILE:${library}>)
  endforeach()
  set(script ${CMAKE_SOURCE_DIR}/cmake/check_windows_calls.sh)
  set(arguments ${CMAKE_NM} ${CMAKE_OBJDUMP} ${CMAKE_C_COMPILER} ${rows_file}
      $<TARGET_FILE:${program}> $<TARGET_FILE:${ARG_SEAM}> ${code})
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${program}_windows_calls.checked)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${script} ${arguments}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${script} ${rows_file} ${program} ${ARG_SEAM} ${ARG_LIBRARIES}
    COMMENT "Checking ${program}'s Windows calls against ${ARG_LIST}"
    COMMAND_EXPAND_LISTS VERBATIM)
  add_custom_target(${program}_windows_calls ALL DEPENDS ${stamp})

  # The check's control (label unit): the same check of the built program
  # with a row left out and one added must fail.
  if(TESSARD_BUILD_TESTS)
    add_test(NAME ${program}_windows_calls_control
             COMMAND ${CMAKE_SOURCE_DIR}/cmake/check_windows_calls_control.sh
                     ${CMAKE_CURRENT_BINARY_DIR}/${program}_windows_calls_control
                     ${arguments}
             COMMAND_EXPAND_LISTS)
    set_tests_properties(${program}_windows_calls_control PROPERTIES
                         LABELS unit)
  endif()
endfunction()
