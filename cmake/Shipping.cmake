# What ships: the version resource of the Windows programs, and the Debian
# package of corvanel-cli (cpack -G DEB in a Linux build; tools/package.sh).
if(WIN32)
  function(corvanel_version_resource target file_name description)
    set(VERSION_FILE_NAME ${file_name})
    set(VERSION_FILE_DESCRIPTION ${description})
    configure_file(${PROJECT_SOURCE_DIR}/res/version.rc.in ${CMAKE_BINARY_DIR}/${target}_version.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/${target}_version.rc)
  endfunction()
  corvanel_version_resource(Corvanel Corvanel.exe "Corvanel: encrypt, recover and shred files")
  corvanel_version_resource(corvanel-cli corvanel-cli.exe "Corvanel command-line tool")
else()
  set(doc_dir share/doc/corvanel-cli)
  install(TARGETS corvanel-cli RUNTIME DESTINATION bin)
  # Debian looks for the licence under the name "copyright".
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${doc_dir} RENAME copyright)
  install(FILES ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt DESTINATION ${doc_dir})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/corvanel-cli.1 DESTINATION share/man/man1)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME corvanel-cli)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_CONTACT "The Corvanel developers")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "encrypt files, recover deleted files from NTFS and FAT32, shred files")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "Command-line front end of Corvanel: encrypts and decrypts files with twelve block ciphers in CTR mode, lists and recovers deleted files from raw NTFS and FAT32 volumes or their images, and shreds a file on its raw volume.")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  # Depends: on the shared libraries it links (libcrypto++8, libstdc++6, and
  # libewf2, libvhdi1, libvmdk1, libqcow1 for disk images, ...).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
endif()
