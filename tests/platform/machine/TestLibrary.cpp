// A small shared library that the loader and symbol tests load and unload.
extern "C" __attribute__((visibility("default"), noinline)) int kcr_machine_test_function(int x) {
    return x * 3 + 1;
}

extern "C" __attribute__((visibility("default"), noinline)) int kcr_machine_test_second(int x) {
    return kcr_machine_test_function(x) + 2;
}

// Not exported: only the file's full symbol table names it.
extern "C" __attribute__((visibility("hidden"), noinline)) int kcr_machine_test_hidden(int x) {
    return x * 5 - 1;
}

extern "C" __attribute__((visibility("default"))) void* kcr_machine_test_hidden_address() {
    return reinterpret_cast<void*>(&kcr_machine_test_hidden);
}
