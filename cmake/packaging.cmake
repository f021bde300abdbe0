# Installation and the Debian package: the component's programs, the native messaging host with
# its manifests for Chromium, Chrome and Firefox, the browser extension and page API, and the
# machine configuration, seeded at installation.
include(GNUInstallDirs)

set(VQ_CHROMIUM_NM_DIR /etc/chromium/native-messaging-hosts CACHE PATH "Chromium's host manifests")
set(VQ_CHROME_NM_DIR /etc/opt/chrome/native-messaging-hosts CACHE PATH "Chrome's host manifests")
set(VQ_FIREFOX_NM_DIR /usr/lib/mozilla/native-messaging-hosts CACHE PATH "Firefox's host manifests")

set(pkg ${PROJECT_SOURCE_DIR}/hosts/nm/packaging)
set(VQ_NM_HOST_PATH ${CMAKE_INSTALL_FULL_BINDIR}/veriquill-nm)
set(VQ_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(VQ_DATADIR ${CMAKE_INSTALL_FULL_DATADIR}/veriquill)
configure_file(${pkg}/chromium-host.json.in nm/chromium/com.brantwell.veriquill.json @ONLY)
configure_file(${pkg}/firefox-host.json.in nm/firefox/com.brantwell.veriquill.json @ONLY)
set(VQ_LIBEXEC ${CMAKE_INSTALL_PREFIX}/lib/veriquill)
set(VQ_STATEDIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/veriquill)
configure_file(${pkg}/setup-machine.in nm/setup-machine @ONLY)
# The package's maintainer scripts, and its configuration files: the host manifests under /etc.
configure_file(${pkg}/postinst.in deb/postinst @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE
               OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
configure_file(${pkg}/prerm.in deb/prerm @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE
               OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(conffiles "")
foreach(dir ${VQ_CHROMIUM_NM_DIR} ${VQ_FIREFOX_NM_DIR})
    if(dir MATCHES "^/etc/")
        string(APPEND conffiles "${dir}/com.brantwell.veriquill.json\n")
    endif()
endforeach()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deb/conffiles "${conffiles}")

install(TARGETS veriquill veriquill-nm veriquill-keytool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/nm/chromium/com.brantwell.veriquill.json
        DESTINATION ${VQ_CHROMIUM_NM_DIR})
# Chrome's manifest is a link to Chromium's, made by setup-machine (it explains why).
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/nm/firefox/com.brantwell.veriquill.json
        DESTINATION ${VQ_FIREFOX_NM_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/hosts/browser/extension DESTINATION ${CMAKE_INSTALL_DATADIR}/veriquill)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/hosts/browser/demo DESTINATION ${CMAKE_INSTALL_DATADIR}/veriquill)
install(FILES ${PROJECT_SOURCE_DIR}/hosts/browser/veriquill.js ${pkg}/machine-defaults.reg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/veriquill)
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/nm/setup-machine DESTINATION lib/veriquill)

# What a Debian package carries beside the programs: the changelog (its first entry names this
# version), the copyright statement and the manual pages.
file(STRINGS ${pkg}/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^veriquill \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "hosts/nm/packaging/changelog: the first entry must be version "
                        "${PROJECT_VERSION}, not: ${changelog_head}")
endif()
set(vq_docdir ${CMAKE_INSTALL_DATADIR}/doc/veriquill)
set(vq_gzipped changelog man/veriquill.1 man/veriquill-nm.1 man/veriquill-keytool.1)
foreach(doc ${vq_gzipped})
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pkg}/${doc})
    get_filename_component(name ${doc} NAME)
    # -n: no name or time stamp in the header, so the same text gives the same package.
    execute_process(COMMAND gzip -9n -c ${pkg}/${doc} OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/deb/${name}.gz
                    COMMAND_ERROR_IS_FATAL ANY)
    if(doc MATCHES "^man/")
        install(FILES ${CMAKE_CURRENT_BINARY_DIR}/deb/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
endforeach()
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/deb/changelog.gz ${pkg}/copyright DESTINATION ${vq_docdir})

# A plain `cmake --install` onto this machine seeds the configuration and registers, as the
# package's postinst does; staged installs (DESTDIR, packaging) leave that to the package.
install(CODE "
    if(\"\$ENV{DESTDIR}\" STREQUAL \"\" AND NOT CMAKE_INSTALL_PREFIX MATCHES \"_CPack_Packages\")
        execute_process(COMMAND \"\${CMAKE_INSTALL_PREFIX}/lib/veriquill/setup-machine\"
                        RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0)
            message(WARNING \"machine configuration not set up (run setup-machine as root)\")
        endif()
    endif()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME veriquill)
set(CPACK_PACKAGE_VENDOR "Brantwell")
set(CPACK_PACKAGE_CONTACT "Brantwell <support@brantwell.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Signing component for bank web pages")
# CPack puts the summary above this text as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Veriquill lets a bank's web page sign payment orders with the user's own
keys: key files, PKCS#11 smart cards and USB tokens behind PC/SC readers,
and the user's certificate store. The user confirms every order in the
component's own dialog.

This package holds the native messaging host with its manifests for
Chromium, Chrome and Firefox, the browser extension, the page API and a
demo page, the script host and the key tool. Only pages the administrator
lists in /etc/veriquill/machine.reg may use the component.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pcscd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/deb/postinst
    ${CMAKE_CURRENT_BINARY_DIR}/deb/prerm ${pkg}/postrm ${CMAKE_CURRENT_BINARY_DIR}/deb/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# lintian: scripts/package fails on any error or warning, and no tag is overridden. The
# informational tags left: .comment sections (CPack strips symbols only), no fortified call in
# the key tool, and the demo page's HTML outside /usr/share/doc (it is served, not read).
include(CPack)

# The installed package on this machine: install, a browser session against the installed host,
# purge, nothing left behind. The package is the one scripts/package built; the sanitizer
# variants would install the same package again.
set(VQ_PACKAGE_DIR ${PROJECT_SOURCE_DIR}/build/package CACHE PATH "where scripts/package puts the .deb")
if(VQ_TESTS AND NOT VQ_SANITIZE AND NOT VQ_TSAN)
    add_test(NAME package_install
             COMMAND ${PROJECT_SOURCE_DIR}/tests/package/run_package_test.sh ${VQ_PACKAGE_DIR})
    # It changes /etc/chromium and the machine configuration: no other test runs beside it.
    set_tests_properties(package_install PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600
                         LABELS package RUN_SERIAL TRUE RESOURCE_LOCK system_browser_manifests)
endif()
