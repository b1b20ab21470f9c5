# nlohmann_json for the Windows build: the host's headers, through a link in include/.
get_filename_component(_orvette_json_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_orvette_json_prefix}/include")
endif()
set(nlohmann_json_FOUND TRUE)
