# What `cmake --install` puts under the prefix besides the programs and libraries, and the
# Debian package that `cpack -G DEB` makes of it (scripts/package.sh builds one).

# The public headers: the exported class and the core library's interface that it includes.
# Users compile with -I<prefix>/include/tarn, which tarn-stubber.pc gives.
install(FILES stubber/stubber.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarn/stubber)
install(DIRECTORY core/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarn/core
        FILES_MATCHING PATTERN "*.h")
configure_file(packaging/tarn-stubber.pc.in tarn-stubber.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarn-stubber.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The manual page, compressed as Debian's man expects it.
configure_file(host/tarn-stubber.1 tarn-stubber.1 @ONLY)
add_custom_command(OUTPUT tarn-stubber.1.gz
  COMMAND gzip -9nc tarn-stubber.1 > tarn-stubber.1.gz
  DEPENDS ${PROJECT_BINARY_DIR}/tarn-stubber.1 VERBATIM)
add_custom_target(tarn_man_page ALL DEPENDS tarn-stubber.1.gz)
install(FILES ${PROJECT_BINARY_DIR}/tarn-stubber.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The core library reads /etc/tarn/tarncore.conf. Under the prefix /usr the example goes
# there (GNUInstallDirs' rule for /usr); under any other prefix to <prefix>/etc/tarn.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(TARN_CONF_DIR /etc/tarn)
else()
  set(TARN_CONF_DIR ${CMAKE_INSTALL_SYSCONFDIR}/tarn)
endif()
install(FILES tarncore/tarncore.conf DESTINATION ${TARN_CONF_DIR})

set(CPACK_PACKAGE_NAME tarn-stubber)
set(CPACK_PACKAGE_VENDOR "tarn")
set(CPACK_PACKAGE_CONTACT "tarn developers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "copies files of GlusterFS volumes to a backup volume and marks them for archiving")
set(CPACK_PACKAGE_DESCRIPTION "The tarn stubber library (libtarnstubber), the core storage \
library it reaches volumes through (libtarncore, with local and GlusterFS backends) and the \
host program tarn-stubber, which stubs, deletes or truncates the files of a container.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# Library dependencies come from dpkg-shlibdeps; gfapi also needs the client translators,
# which are in glusterfs-common.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARN_GLUSTERFS)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "glusterfs-common")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/conffiles)
include(CPack)
