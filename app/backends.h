// The backends this program serves, by port name. The program registers them before its
// run starts; a test that reaches one by its port name registers them the same way.
#pragma once

// "sim" and "sim:FILE": the simulated dongle.
void register_backends();
