// The floor of starting any command of the tool: a C++ program that does
// nothing, built and linked as the tool is (its C++ library linked in,
// its streams set up), so that what the tool adds to it can be told apart
// from what starting a process costs on this machine.
#include <iostream>

int main() { return std::cout.good() ? 0 : 1; }
