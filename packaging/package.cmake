# Installation and the Debian package (cpack -G DEB in the build tree).
# Included from the top-level CMakeLists; paths are relative to the prefix,
# /usr in the package.
include(GNUInstallDirs)

install(TARGETS quorvel quorvel-privacy RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/quorvel.1 man/quorvel-privacy.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES schema/quorvel-event.schema.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/quorvel/schema)
install(FILES LICENSE NOTICE DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Where Debian's python3 finds modules of Debian packages.
install(FILES clients/python/quorvel/__init__.py clients/python/quorvel/py.typed
        DESTINATION lib/python3/dist-packages/quorvel)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR Brixlane)
set(QUORVEL_PACKAGE_CONTACT "Brixlane <quorvel@brixlane.invalid>" CACHE STRING
    "Maintainer of the Debian package")
set(CPACK_PACKAGE_CONTACT "${QUORVEL_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "windowless speech-recognition helper for a parent process")
set(CPACK_PACKAGE_DESCRIPTION
    "quorvel turns the microphone into a stream of speech-recognition events, \
one JSON object per line on standard output, for the program that starts it. \
The parent steers it with one-word commands on standard input or with \
signals. Recognition runs on the machine.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # quorvel_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
# dpkg-shlibdeps declares the libraries the programs link (libpulse,
# libsndfile, libspeexdsp, libplist, ICU, PocketSphinx). English comes
# with the package (the transducer and its runtime); PocketSphinx's English
# model is only the fallback, so it is recommended, not required; it also
# holds the pronouncing dictionary that phrase matching reads, beside
# espeak-ng's library, which is loaded at run time (so dpkg-shlibdeps
# cannot see it) and only for a phrase list.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pocketsphinx-en-us, libespeak-ng1")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3")  # for the client module
set(CPACK_STRIP_FILES ON)
include(CPack)
