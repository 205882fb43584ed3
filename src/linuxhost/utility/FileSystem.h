// The host's file query: whether a path names a regular file.
#pragma once

#include <string>

namespace ZEL {
namespace FileSystem {

// True when `path` names a regular file, directly or through symbolic links.
bool fileExists(const std::wstring& path);

}  // namespace FileSystem
}  // namespace ZEL
