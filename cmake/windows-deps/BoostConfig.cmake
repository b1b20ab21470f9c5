# Boost for the Windows build: the host's headers (through a link in include/) and the
# static Boost.Thread and Boost.Chrono built for the target. Boost.System is header-only.
get_filename_component(_orvette_boost_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET Boost::headers)
  add_library(Boost::headers INTERFACE IMPORTED)
  set_target_properties(Boost::headers PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_orvette_boost_prefix}/include")
  add_library(Boost::boost INTERFACE IMPORTED)
  set_target_properties(Boost::boost PROPERTIES INTERFACE_LINK_LIBRARIES Boost::headers)
  add_library(Boost::system INTERFACE IMPORTED)
  set_target_properties(Boost::system PROPERTIES INTERFACE_LINK_LIBRARIES Boost::headers)
  add_library(Boost::chrono STATIC IMPORTED)
  set_target_properties(Boost::chrono PROPERTIES
    IMPORTED_LOCATION "${_orvette_boost_prefix}/lib/libboost_chrono.a"
    INTERFACE_COMPILE_DEFINITIONS BOOST_CHRONO_STATIC_LINK
    INTERFACE_LINK_LIBRARIES Boost::headers)
  add_library(Boost::thread STATIC IMPORTED)
  set_target_properties(Boost::thread PROPERTIES
    IMPORTED_LOCATION "${_orvette_boost_prefix}/lib/libboost_thread.a"
    INTERFACE_COMPILE_DEFINITIONS BOOST_THREAD_USE_LIB
    INTERFACE_LINK_LIBRARIES "Boost::chrono;Boost::headers")
endif()

set(Boost_INCLUDE_DIRS "${_orvette_boost_prefix}/include")
set(Boost_FOUND TRUE)
foreach(_orvette_component IN LISTS Boost_FIND_COMPONENTS)
  if(TARGET Boost::${_orvette_component})
    set(Boost_${_orvette_component}_FOUND TRUE)
  else()
    set(Boost_${_orvette_component}_FOUND FALSE)
    if(Boost_FIND_REQUIRED_${_orvette_component})
      set(Boost_FOUND FALSE)
      set(Boost_NOT_FOUND_MESSAGE "this Windows build of Boost has no ${_orvette_component}")
    endif()
  endif()
endforeach()
unset(_orvette_component)
