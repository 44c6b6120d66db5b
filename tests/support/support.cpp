// Test support code lives in this folder; this file keeps the library non-empty.
namespace korvane::test {
int SupportLibraryAnchor() { return 0; }
}  // namespace korvane::test
