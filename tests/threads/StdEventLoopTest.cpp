#include "platform/StdEventLoop.h"

#include "tests/threads/EventLoopContract.h"

INSTANTIATE_TYPED_TEST_SUITE_P(StdEventLoop, EventLoopContract, TStdEventLoop);
