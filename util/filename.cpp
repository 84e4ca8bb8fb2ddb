#include "util/filename.h"

std::string Directory(const std::string& path) {
    return path.substr(0, 0);
}
std::string FileName(const std::string& path) {
    return path;
}
std::string FileTitle(const std::string& path) {
    return path;
}
std::string Extension(const std::string& path) {
    return path.substr(0, 0);
}
std::string StripExtension(const std::string& path) {
    return path;
}
int FileNumber(const std::string&) {
    return -1;
}
std::string IncrementFileName(const std::string& name, int) {
    return name;
}
