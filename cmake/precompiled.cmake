# One precompiled header (cmake/precompiled_std.h, heavy standard headers) for
# the libraries and the two programs: built once with the serial library, the
# lowest layer, and reused by the others, which all compile with the same
# flags, so that each file skips parsing them again.
#
# Off unless asked for (scripts/demo asks): the other builds keep including
# exactly what each file names, so that a missing #include shows there, and
# mingw-w64's g++ at -O3 reports a -Wstringop-overread inside <string> (on
# std::string::find in cli/options.cpp) once the header comes precompiled,
# which -Werror turns into a failed build. GCC only: the clang fuzz build
# gives some of these libraries options of their own, which a shared header
# would have to match.
option(KELVORA_PCH "Precompile the standard headers the programs share (GCC)" OFF)

if(KELVORA_PCH AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND TARGET kelvora_serial)
  target_precompile_headers(kelvora_serial PRIVATE ${CMAKE_CURRENT_LIST_DIR}/precompiled_std.h)
  foreach(target IN ITEMS kelvora_download kelvora_unit kelvora_record kelvora_station kelvora_station_commands
                          kelvora_web kelvora-upgrader kelvora_emulator_core stb-emulator)
    if(TARGET ${target})
      target_precompile_headers(${target} REUSE_FROM kelvora_serial)
    endif()
  endforeach()
endif()
