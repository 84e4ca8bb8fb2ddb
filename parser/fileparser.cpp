#include "parser/fileparser.h"

CFileParser::CFileParser() : length(0), buffer(nullptr), position(0) {
    lineBuffer[0] = '\0';
    wordBuffer[0] = '\0';
}
CFileParser::~CFileParser() {
    ReleaseBuffer();
}
int CFileParser::Hook(void*) {
    return 1;
}
int CFileParser::LoadFile(const char*) {
    return 0;
}
int CFileParser::ReadLine() {
    return 1;
}
int CFileParser::PeekNextLine() {
    return 0;
}
int CFileParser::ReadWord() {
    return 0;
}
int CFileParser::FindLine(const char*) {
    return 0;
}
int CFileParser::FindLineInRange(const char*, int, int) {
    return 0;
}
void CFileParser::FindTag(const std::string&, int&, int&) {}
void CFileParser::FindTagInRange(const std::string&, int, int, int&, int&) {}
void CFileParser::ReleaseBuffer() {
    delete[] buffer;
    buffer = nullptr;
    position = 0;
}
