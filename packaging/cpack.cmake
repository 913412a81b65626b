# The Debian package: `cpack -G DEB` in a build configured by
# scripts/build-deb.sh (prefix /usr, Debian's compiler flags, Debian docs).

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrelvox)
set(CPACK_PACKAGE_VERSION ${KV_VERSION})
set(CPACK_PACKAGE_VENDOR "Kestrelvox developers")
set(CPACK_PACKAGE_CONTACT "Kestrelvox developers <maintainers@kestrelvox.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "internet voice-call client with a directory server")
set(CPACK_PACKAGE_DESCRIPTION
"Kestrelvox places voice calls directly to another host over UDP and answers
incoming calls by itself. Speech travels as u-law, IMA ADPCM, GSM 06.10
(also with one 20 ms frame per packet) or LPC-10 at 2400 bit/s. It records
outgoing speech into voice files and plays voice files back. The
kestrelvox-file command lists, exports to WAV and YUV4MPEG2, and makes voice
and AV files.
.
Through a directory server it registers the user, lists the users and
buddies online, and relays short chat messages, optionally through a SOCKS 4
proxy. The package includes that server, kestrelvox-directory, with a
sandboxed systemd unit that is installed but not enabled.")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies come from dpkg-shlibdeps; the icons need their theme's
# folder layout.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "hicolor-icon-theme")

include(CPack)
