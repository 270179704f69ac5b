# The Windows install step and the installer. `cmake --install` puts the two programs into <prefix>/bin, with a shared
# Qt also its runtime through Qt's deploy support; the stand-in core, the smoke's tools and the tests are never
# installed. `cpack` (scripts/windows) packs the same files into BrimvaultSetup-<version>-win64.exe with NSIS.
install(TARGETS BrimvaultService WindowShepherd RUNTIME DESTINATION bin)

get_target_property(BV_QT_CORE_TYPE Qt6::Core TYPE)
if(BV_QT_CORE_TYPE STREQUAL "SHARED_LIBRARY")
  # Qt's DLLs and the Windows platform plugin beside the programs (windeployqt underneath). Qt 6.3 and 6.4 name the
  # script's variable FILENAME_VARIABLE, later ones OUTPUT_SCRIPT; a Qt older than 6.3 has no deploy support, and a
  # cross build has no Windows windeployqt to run: deploy the installed programs by hand then.
  if(COMMAND qt_generate_deploy_app_script AND NOT CMAKE_CROSSCOMPILING)
    foreach(program BrimvaultService WindowShepherd)
      if(Qt6Core_VERSION VERSION_GREATER_EQUAL 6.5)
        qt_generate_deploy_app_script(TARGET ${program} OUTPUT_SCRIPT deploy NO_UNSUPPORTED_PLATFORM_ERROR)
      else()
        qt_generate_deploy_app_script(TARGET ${program} FILENAME_VARIABLE deploy NO_UNSUPPORTED_PLATFORM_ERROR)
      endif()
      install(SCRIPT ${deploy})
    endforeach()
  else()
    message(WARNING "No Qt deploy support here (Qt ${Qt6Core_VERSION}, cross build: ${CMAKE_CROSSCOMPILING}): the "
                    "install step copies no Qt runtime; run windeployqt on <prefix>/bin/BrimvaultService.exe and "
                    "WindowShepherd.exe")
  endif()
endif()

# The installer: NSIS through CPack, 64-bit, from our own script (cmake/installer/NSIS.template.in), which also
# registers, starts, stops and deletes the service. The version is the project's, the service's own version text.
set(CPACK_GENERATOR NSIS)
set(CPACK_PACKAGE_NAME Brimvault)
set(CPACK_PACKAGE_VENDOR Orlenta)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Brimvault service and WindowShepherd")
set(CPACK_PACKAGE_INSTALL_DIRECTORY Brimvault)
set(CPACK_PACKAGE_FILE_NAME BrimvaultSetup-${PROJECT_VERSION}-win64)
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_DISPLAY_NAME "Brimvault ${PROJECT_VERSION}")
set(CPACK_BV_SERVICE_NAME BrimvaultService)
set(CPACK_BV_SERVICE_DISPLAY_NAME "Brimvault Service")
set(CPACK_BV_SERVICE_DESCRIPTION
    "Keeps the Brimvault core running in the console session and serves the Brimvault programs on their local socket.")
set(CPACK_MODULE_PATH ${CMAKE_CURRENT_LIST_DIR}/installer)
include(CPack)
