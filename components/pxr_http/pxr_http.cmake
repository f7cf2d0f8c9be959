# The monitoring side is part of the framework library: components/pxr includes this file.
set(PXR_HTTP_DIR ${CMAKE_CURRENT_LIST_DIR})

target_sources(pxr PRIVATE
  ${PXR_HTTP_DIR}/monitor_format.cpp
  ${PXR_HTTP_DIR}/monitor.cpp
  ${PXR_HTTP_DIR}/http_server.cpp
  ${PXR_HTTP_DIR}/monitor_hook.cpp)
target_include_directories(pxr PUBLIC ${PXR_HTTP_DIR})

# Boost.Beast/Asio and nlohmann/json, header-only, from the build machine's packages. The cross
# build must not see the rest of the host's include folder, so it gets links to just these two.
find_path(PXR_HTTP_BOOST_INCLUDE boost/beast.hpp PATHS /usr/include /usr/local/include
          NO_CMAKE_FIND_ROOT_PATH)
find_path(PXR_HTTP_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include /usr/local/include
          NO_CMAKE_FIND_ROOT_PATH)
if(NOT PXR_HTTP_BOOST_INCLUDE OR NOT PXR_HTTP_JSON_INCLUDE)
  message(FATAL_ERROR "pxr_http needs the Boost (libboost1.81-dev) and nlohmann/json (nlohmann-json3-dev) headers")
endif()
if(QMX_WINDOWS)
  set(shim ${CMAKE_BINARY_DIR}/pxr_http_include)
  file(MAKE_DIRECTORY ${shim})
  foreach(pair "boost;${PXR_HTTP_BOOST_INCLUDE}" "nlohmann;${PXR_HTTP_JSON_INCLUDE}")
    list(GET pair 0 name)
    list(GET pair 1 dir)
    if(NOT EXISTS ${shim}/${name})
      file(CREATE_LINK ${dir}/${name} ${shim}/${name} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(pxr SYSTEM PUBLIC ${shim})
  # Asio needs Windows 7 interfaces and the socket libraries.
  target_compile_definitions(pxr PRIVATE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN)
  target_link_libraries(pxr PUBLIC ws2_32 mswsock)
else()
  target_include_directories(pxr SYSTEM PUBLIC ${PXR_HTTP_BOOST_INCLUDE} ${PXR_HTTP_JSON_INCLUDE})
  find_package(Threads REQUIRED)
  target_link_libraries(pxr PUBLIC Threads::Threads)
endif()
target_compile_definitions(pxr PRIVATE BOOST_ASIO_NO_DEPRECATED)
