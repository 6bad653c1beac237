// The application executable's last part, for the demo: the runtime starts it when it shuts down with
// "-clnx" WORKBOOK "-clnd" MODULE, and it removes the temporary workbook file that Excel had open. The
// demo saves into a copy of this program, so that the saved application is a real executable with
// resources of its own.
#include <windows.h>

#include <cstring>

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "-clnx") == 0) DeleteFileA(argv[i + 1]);
  return 0;
}
