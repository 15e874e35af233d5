// The release this source is, defined here and nowhere else: CMakeLists.txt
// reads the number from this line for project(VERSION), and both programs
// print it for -V. A macro, so that it joins string literals. A release
// also sets DISTVERSION in freebsd/port/Makefile to this number.
#pragma once

#define VANTREL_VERSION "0.3.0"
