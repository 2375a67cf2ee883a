// TestModule: a small library that the LoadLibrary tests load by its Windows-style name.
extern "C" {

int WinTestModuleAnswer() {
    return 42;
}

int WinTestModuleValue = 7;
}
