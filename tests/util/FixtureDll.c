/* A DLL that only carries resources: the version fixture and, without its
   resource script, a module with no version resource. */
#include <windows.h>

__declspec(dllexport) int FixtureAnswer(void)
{
    return 42;
}
