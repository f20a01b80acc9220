// The installed programs as Windows lists them in the registry (the process's default view).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "plugin-api-system.h"

// Source 1, HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall (DisplayName, DisplayVersion),
// then source 2, HKCR\Installer\Products (ProductName, Version). A missing key adds nothing; a
// subkey without both values is skipped.
std::vector<InstalledProgram> installed_programs_from_registry();

// A version value as text: REG_SZ as it is, REG_DWORD as its four bytes in decimal from the most
// significant down ("5.1.2.3"), any other type empty.
std::string registry_version_text(DWORD type, const BYTE* data, DWORD size);
