#!/bin/sh
# Tests' inputs from other presets' builds: prerequisites.sh PATH PRESET ...
# Fails with one line that names the preset to build first.
while [ $# -ge 2 ]; do
  [ -n "$1" ] || { echo "the $2 build's output is not named here: configure this build with its preset (cmake --preset NAME)"; exit 1; }
  [ -e "$1" ] || { echo "no $1: build the $2 preset first (cmake --preset $2 && cmake --build --preset $2)"; exit 1; }
  shift 2
done
