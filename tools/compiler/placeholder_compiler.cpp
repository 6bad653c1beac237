// Keeps the compiler library non-empty until its first unit lands.
namespace cwbk::compiler {
int compilerLibraryVersion() { return 1; }
} // namespace cwbk::compiler
