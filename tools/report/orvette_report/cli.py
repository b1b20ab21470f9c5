"""Command line of orvette-report."""

import argparse
import sys

from . import logparse


def build_parser():
    parser = argparse.ArgumentParser(
        prog="orvette-report",
        description="Summarises an orvette console log: a text summary on standard output "
                    "and, with -o, an HTML page with plots.")
    parser.add_argument("log", help="console log of an orvette run")
    parser.add_argument("-t", "--trace", help="the simulated dongle's JSON-lines trace of the same run")
    parser.add_argument("-o", "--output", help="write a self-contained HTML page here")
    return parser


def _fail(text):
    print("orvette-report: " + text, file=sys.stderr)
    return 1


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        data = logparse.read_log(args.log)
    except OSError as error:
        return _fail("cannot read %s: %s" % (args.log, error.strerror or error))
    run = logparse.parse(data)
    if run.recognised == 0:
        return _fail("%s holds no orvette console line" % args.log)
    trace_run = None
    if args.trace:
        from . import trace
        try:
            trace_data = logparse.read_log(args.trace)
        except OSError as error:
            return _fail("cannot read %s: %s" % (args.trace, error.strerror or error))
        trace_run = trace.parse(trace_data)
        if trace_run is None:
            return _fail("%s holds no trace line" % args.trace)
    from . import summary
    text = summary.summary(run, "console log " + args.log)
    if trace_run is not None:
        text += "\n" + summary.summary(trace_run, "trace " + args.trace)
    sys.stdout.write(text)
    if args.output:
        from . import page
        try:
            with open(args.output, "w", encoding="utf-8") as out:
                out.write(page.render(run, trace_run, text))
        except OSError as error:
            return _fail("cannot write %s: %s" % (args.output, error.strerror or error))
    return 0
