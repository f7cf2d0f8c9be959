# Registry access, trace environment set-up and configuration. The configuration file's rules and
# the trace environment need no operating system and build in both builds.
add_library(qmx_cfgparse STATIC ${CMAKE_CURRENT_LIST_DIR}/cfgparse.cpp)
target_include_directories(qmx_cfgparse PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qmx_cfgparse PUBLIC jbx)

add_library(qmx_rasenv STATIC ${CMAKE_CURRENT_LIST_DIR}/setjbxras1env.cpp)
target_include_directories(qmx_rasenv PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(qmx_rasenv PUBLIC jbx)

if(QMX_WINDOWS)
  add_library(qmx_registry STATIC ${CMAKE_CURRENT_LIST_DIR}/earegcls.cpp
                                  ${CMAKE_CURRENT_LIST_DIR}/earegenv.cpp)
  target_include_directories(qmx_registry PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(qmx_registry PUBLIC jbx advapi32)

  add_library(qmx_settings STATIC ${CMAKE_CURRENT_LIST_DIR}/qmxconfig.cpp)
  target_include_directories(qmx_settings PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(qmx_settings PUBLIC qmx_registry qmx_rasenv qmx_cfgparse qmx_common jbx
                                            advapi32)
endif()
