/* A shared object with code but without bundle resources. */
int hv_test_bare_library_marker(void)
{
    return 42;
}
