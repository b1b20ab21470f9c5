#include "app/test_context.h"

#include "queue/message_queue.h"

// Defined together, in this order, so that static construction builds the queue with its
// thread before the lock and containers, and exit tears them down in reverse.
message_queue the_message_queue;
shared_test_state test_context;

void raise_quit() {
    // The flag first: a thread that the event wakes looks at the flag.
    test_context.quit_requested = true;
    platform::set_event(test_context.quit_event.load());
}

uint32_t wait_unless_quitting(platform::event_handle event, uint32_t milliseconds) {
    // Looked at first: without the event object (a start-up that failed to make it) the
    // flag still keeps a quitting thread from starting a wait.
    if (test_context.quit_requested.load()) return platform::wait_object_1;
    return platform::wait_for_either(event, test_context.quit_event.load(), milliseconds);
}

bool sleep_unless_quitting(uint32_t milliseconds) {
    const platform::event_handle quit = test_context.quit_event.load();
    if (quit == nullptr) {
        platform::sleep_ms(milliseconds);
    } else {
        platform::wait_for_event(quit, milliseconds);
    }
    return test_context.quit_requested.load();
}
