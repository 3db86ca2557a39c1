#include "PortLock.h"

pthread_mutex_t PortLock::s_mutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
int PortLock::s_depth = 0;
