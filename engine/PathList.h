#pragma once
// A request's list of paths: full paths of files or folders, in the order they were given.
#include <string>
#include <vector>

using PathList = std::vector<std::wstring>;
