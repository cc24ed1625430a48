# Header-only libraries from the system's packages, for both builds:
#   kelvora_cli11  CLI11 (libcli11-dev), the command line's option parser
#   kelvora_json   nlohmann-json (nlohmann-json3-dev), the download records
# The Windows cross-compiler must not see the rest of /usr/include (the host's
# C library headers would shadow its own), so it gets an include root of its
# own that holds only links to these two libraries.
set(kelvora_third_party_root ${CMAKE_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${kelvora_third_party_root})
foreach(dir CLI nlohmann)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "/usr/include/${dir} is missing: run scripts/setup")
  endif()
  file(CREATE_LINK /usr/include/${dir} ${kelvora_third_party_root}/${dir} SYMBOLIC)
endforeach()

add_library(kelvora_cli11 INTERFACE)
target_include_directories(kelvora_cli11 SYSTEM INTERFACE ${kelvora_third_party_root})
add_library(kelvora_json INTERFACE)
target_include_directories(kelvora_json SYSTEM INTERFACE ${kelvora_third_party_root})
