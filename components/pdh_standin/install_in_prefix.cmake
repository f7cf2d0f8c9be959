# cmake -DDLL=<pdh.dll> -DPREFIX=<Wine prefix> -DWINE=<wine> -P install_in_prefix.cmake
# Copies the stand-in into the prefix's system folder and sets HKCU\Software\Wine\DllOverrides
# "pdh"="native" unless the prefix's registry already says so.
if(NOT EXISTS "${PREFIX}/system.reg")
  message(FATAL_ERROR "no Wine prefix in ${PREFIX}: run scripts/setup.sh first")
endif()
set(system32 "${PREFIX}/drive_c/windows/system32")
execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${DLL}" "${system32}/pdh.dll"
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "could not copy ${DLL} to ${system32}")
endif()
set(overridden FALSE)
if(EXISTS "${PREFIX}/user.reg")
  file(STRINGS "${PREFIX}/user.reg" lines REGEX "^\"pdh\"=\"native\"$")
  if(lines)
    set(overridden TRUE)
  endif()
endif()
if(NOT overridden)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} WINEDEBUG=-all
                          ${WINE} reg add "HKCU\\Software\\Wine\\DllOverrides" /v pdh /t REG_SZ /d native /f
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "could not set the pdh override in ${PREFIX} (wine reg add: ${rc})")
  endif()
endif()
