"""Test support: DFT files written in Python (records of given fields and samples, and the
synthetic sounding of the example), so that the tests need no C++ build."""
