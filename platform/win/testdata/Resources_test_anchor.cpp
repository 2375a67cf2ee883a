// Resources_test_anchor: the otherwise empty static library that carries the test resources.
