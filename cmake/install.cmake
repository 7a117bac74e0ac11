# Install layout other tools rely on: include/kovrel/*.h, lib/libkovrel.so*,
# lib/pkgconfig/kovrel.pc and the CMake package `kovrel` (target kovrel::kovrel).
include(CMakePackageConfigHelpers)

install(FILES ${KOVREL_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kovrel)
install(TARGETS kovrel EXPORT kovrelTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

set(KOVREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kovrel)
install(EXPORT kovrelTargets NAMESPACE kovrel:: DESTINATION ${KOVREL_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kovrelConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/kovrelConfig.cmake
    INSTALL_DESTINATION ${KOVREL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kovrelConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kovrelConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kovrelConfigVersion.cmake
        DESTINATION ${KOVREL_CMAKE_DIR})

configure_file(${CMAKE_CURRENT_LIST_DIR}/kovrel.pc.in ${CMAKE_CURRENT_BINARY_DIR}/kovrel.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kovrel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
