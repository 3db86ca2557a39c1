# cmake -DGUIDE=docs/host-guide.md -DEXAMPLE=examples/host.c -P CheckGuide.cmake
# The host guide shows the example program as it is built and run in CI, letter for letter.
file(READ ${GUIDE} guide)
file(READ ${EXAMPLE} example)
string(FIND "${guide}" "```c\n${example}```" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${GUIDE} does not show ${EXAMPLE} as it is: copy the file into its ```c block")
endif()
