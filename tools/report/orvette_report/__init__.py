"""Reads an orvette console log (and the simulated dongle's trace) and reports on the run."""
