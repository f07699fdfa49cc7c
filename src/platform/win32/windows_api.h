// <windows.h> for the Win32 platform, the window and their tests: lean, no
// min/max macros, and without the A/W-switching macros whose names are also
// names of the core's seams (Platform::CreateFile, Window::MessageBox, ...).
// Code that includes this calls the ANSI functions by their full names
// (CreateFileA, MessageBoxA).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h:
#include <ntddscsi.h>
#include <shellapi.h>
#include <winioctl.h>

#undef CreateFile
#undef DeleteFile
#undef GetDiskFreeSpace
#undef GetDiskFreeSpaceEx
#undef GetFileAttributes
#undef GetVolumeInformation
#undef MessageBox
#undef GetDriveType
#undef GetVolumePathNamesForVolumeName
#undef GetVolumeNameForVolumeMountPoint
#undef GetVolumePathName
#undef QueryDosDevice
#undef RegGetValue
#undef GetWindowsDirectory
#undef GetModuleFileName
