#!/usr/bin/env bash
# Installs the Debian packages Zendrik needs to build, run and test, when they are missing.
set -euo pipefail

PACKAGES=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev
  qt6-webengine-dev libqt6webenginecore6-bin qt6-declarative-dev
  libqscintilla2-qt6-dev
  libxml2-dev libxslt1-dev libmimalloc-dev
  libgl-dev fonts-dejavu-core
  # XSLT 2.0 and 3.0: Saxon-HE with a Java runtime, and a Java compiler for our helper
  default-jre-headless libsaxonhe-java default-jdk-headless
)
if [ "${1:-}" = "--tests" ]; then
  # docbook-xsl and xsltproc: real-world stylesheets and a reference processor for the tests;
  # docbook-xml and docbook5-xml: DocBook's DTDs and RELAX NG grammar, found through the
  # system's XML catalog as a user's documents find them;
  # xvfb, xauth and imagemagick: screenshots of the running program;
  # desktop-file-utils and appstream: validators for the installed desktop files;
  # poppler-utils: the text of printed pages.
  PACKAGES+=(docbook-xsl docbook-xml docbook5-xml xsltproc xvfb xauth imagemagick desktop-file-utils appstream poppler-utils)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
