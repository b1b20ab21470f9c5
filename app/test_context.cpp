#include "app/test_context.h"

#include "queue/message_queue.h"

// Defined together, in this order, so that static construction builds the queue with its
// thread before the lock and containers, and exit tears them down in reverse.
message_queue the_message_queue;
shared_test_state test_context;
