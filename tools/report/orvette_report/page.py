"""The self-contained HTML page: the text summary and the plots as embedded PNG images."""

import base64
import html

from . import plots
from .lines import LEVEL_FOR

# Records script errors and whether every image decoded, so that a headless browser run can
# check the page from its DOM.
_CHECK_SCRIPT = """
window.onerror = function (message) {
  document.body.setAttribute('data-script-error', String(message));
};
window.addEventListener('load', function () {
  var images = document.getElementsByTagName('img');
  var drawn = 0;
  for (var i = 0; i < images.length; i++) {
    if (images[i].complete && images[i].naturalWidth > 0) drawn++;
  }
  document.body.setAttribute('data-images-drawn', drawn + '/' + images.length);
});
"""

_STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; }
pre { background: #f6f6f6; padding: 1em; white-space: pre-wrap; font-size: 13px; }
img { max-width: 100%; display: block; margin: 0.5em 0 1.5em 0; }
p.missing { color: #a33; }
"""


def _figure(title, png, missing):
    out = "<h2>%s</h2>\n" % html.escape(title)
    if png is None:
        return out + '<p class="missing">%s</p>\n' % html.escape(missing)
    data = base64.b64encode(png).decode("ascii")
    return out + '<img alt="%s" src="data:image/png;base64,%s">\n' % (html.escape(title), data)


def _level_note(run, what):
    level = LEVEL_FOR[what]
    if run.ever_at(level):
        return "Nothing of this kind happened in the log."
    return "Not in this log: %s need -v%d or more." % (what, level)


def render(run, trace_run, summary_text):
    parts = [
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">",
        "<title>orvette run report</title>",
        "<script>%s</script>" % _CHECK_SCRIPT,
        "<style>%s</style></head><body>" % _STYLE,
        "<h1>orvette run report</h1>",
        "<pre>%s</pre>" % html.escape(summary_text),
        _figure("Timeline", plots.timeline(run), "No phone is named in this log."),
        _figure("Set-up time", plots.setup_histogram(run), _level_note(run, "set-ups")),
        _figure("RSSI over time", plots.rssi_over_time(run), "No RSSI in this log."),
        _figure("Advertising rate", plots.advertising_rate(run, LEVEL_FOR["advertisements"]),
                _level_note(run, "advertisements")
                + " Two or more statistics lines (the 's' key) would give the rate between them."),
    ]
    if trace_run is not None:
        parts += [
            "<h1>From the simulated dongle's trace (simulated time)</h1>",
            _figure("Timeline (trace)", plots.timeline(trace_run), "No connection in the trace."),
            _figure("RSSI over time (trace)", plots.rssi_over_time(trace_run), "No RSSI in the trace."),
            _figure("Advertising rate (trace)", plots.advertising_rate(trace_run, 0),
                    "No advertisement in the trace."),
        ]
    parts.append("</body></html>\n")
    return "\n".join(parts)
