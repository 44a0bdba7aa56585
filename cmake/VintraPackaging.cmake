# The Debian package, made by `cpack -G DEB` in a configured and built tree (scripts/package.sh).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vintra)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Zelk Soft")
set(CPACK_PACKAGE_CONTACT "Vintra developers <vintra@zelk-soft.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "interval training timer with coloured phases and sound cues")
# Lines kept under 80 columns for the package tools.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Vintra counts down the preparation, work and rest phases of an interval\n"
    "workout in big digits on a yellow, green or red panel, counts the rounds and\n"
    "cycles that are left, plays a cue at each change of phase and can play\n"
    "background music throughout. The plan, the options and the chosen sound\n"
    "files are kept between runs. The interface is in Russian.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${VINTRA_SITE_URL}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# What the executable links (the lower bounds are those dpkg-shlibdeps derives from the symbols it
# uses), plus the platform plugins Qt needs to open any window at all. libsndfile1 brings the MP3
# decoder with it.
string(CONCAT CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11), "
    "libqt6core6 (>= 6.4.0), libqt6gui6 (>= 6.4.0), libqt6widgets6 (>= 6.4.0), libqt6dbus6 (>= 6.4.0), "
    "qt6-qpa-plugins, libx11-6, libxss1, "
    "libsndfile1 (>= 1.0.20), libsdl2-2.0-0 (>= 2.24.0), "
    # Bold text is set in DejaVu Sans Condensed Bold, and without Tahoma the regular texts are set
    # in DejaVu Sans Condensed: both are in fonts-dejavu-extra (fonts-dejavu-core has only the
    # normal width).
    "fonts-dejavu-core, fonts-dejavu-extra")
# The layout is made for Tahoma, and fonts-wine carries a face of its metrics. It is recommended,
# not required: the next Debian release has no fonts-wine, and there the condensed face above
# keeps the layout. Qt's Russian texts for its dialogs and menus. rtkit grants the sound thread
# its real-time priority when an ordinary user runs the program (root sets it itself); without
# it the music may break off on a busy machine, but nothing else changes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wine, qt6-translations-l10n, rtkit")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
