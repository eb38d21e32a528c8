__declspec(dllexport) int vt_add(int a, int b) { return a + b; }
__declspec(dllexport) int vt_mul(int a, int b) { return a * b; }
