// A loadable library that is not a Libretro core: it exports one unrelated
// function and none of the sixteen entry points, so binding must name all
// sixteen as missing.
#ifdef _WIN32
#define NOT_A_CORE_EXPORT extern "C" __declspec(dllexport)
#else
#define NOT_A_CORE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

NOT_A_CORE_EXPORT int not_a_core_answer(void) { return 42; }
