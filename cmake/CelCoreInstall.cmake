# Installation: headers under include/VellumixCelCore, the CMake package and a
# pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The umbrella header includes every public header of the library.
set(_umbrella "${PROJECT_BINARY_DIR}/generated/VellumixCelCore.h")
set(_content "// Generated: includes every public header of VellumixCelCore.\n#pragma once\n#include \"celcore_export.h\"\n#include \"celcore_version.h\"\n")
foreach(h IN LISTS CELCORE_PUBLIC_HEADERS)
    file(RELATIVE_PATH _rel ${PROJECT_SOURCE_DIR} ${h})
    string(APPEND _content "#include \"${_rel}\"\n")
endforeach()
file(GENERATE OUTPUT ${_umbrella} CONTENT "${_content}")

foreach(h IN LISTS CELCORE_PUBLIC_HEADERS)
    file(RELATIVE_PATH _rel ${PROJECT_SOURCE_DIR} ${h})
    get_filename_component(_dir ${_rel} DIRECTORY)
    install(FILES ${h} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/VellumixCelCore/${_dir})
endforeach()
install(FILES ${_umbrella}
              ${PROJECT_BINARY_DIR}/generated/celcore_export.h
              ${PROJECT_BINARY_DIR}/generated/celcore_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/VellumixCelCore)

install(TARGETS VellumixCelCore EXPORT VellumixCelCoreTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET celtool)
    install(TARGETS celtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(EXPORT VellumixCelCoreTargets NAMESPACE VellumixCelCore::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VellumixCelCore)
configure_package_config_file(cmake/VellumixCelCoreConfig.cmake.in
    ${PROJECT_BINARY_DIR}/VellumixCelCoreConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VellumixCelCore)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VellumixCelCoreConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VellumixCelCoreConfig.cmake
              ${PROJECT_BINARY_DIR}/VellumixCelCoreConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/VellumixCelCore)

configure_file(cmake/vellumixcelcore.pc.in ${PROJECT_BINARY_DIR}/vellumixcelcore.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/vellumixcelcore.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
