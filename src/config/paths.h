// paths - the working directory and the files the plugin keeps in it
//
// DeriveWorkPath   the working directory of a program path
// SetWorkPath      set once at start-up, before any other thread runs
// WorkPath         the working directory with a trailing slash
// ConfigFilePath   "VelmoraSpamAssassin.cfg" in it
// ReloadMarkerPath "hup.sig" in it
// WhitelistPath    "whitelist.txt" in it
#pragma once

#include <string>

extern const char* const configFileName;  // "VelmoraSpamAssassin.cfg"

// DeriveWorkPath - everything up to and including the last slash found from
// the second character on, "./" when there is none, empty when the path is absent.
std::string DeriveWorkPath(const char* programPath);
void SetWorkPath(std::string path);
const std::string& WorkPath();

std::string ConfigFilePath();
std::string ReloadMarkerPath();
std::string WhitelistPath();
