"""Recording of a live terminal session, and reading it back.

`RecordingVornStrategy` (or `recording_class(YourStrategy)`) records; `open_recording`
reads a recording folder back for a replay.
"""
from .reader import Recording, RecordingError, open_recording
from .strategy import recording_class
from .writer import FORMAT_VERSION, Recorder

__all__ = ["FORMAT_VERSION", "Recorder", "Recording", "RecordingError", "RecordingVornStrategy",
           "open_recording", "recording_class"]


def __getattr__(name):
    # The bridge is imported on first use, so reading recordings needs no native module.
    if name == "RecordingVornStrategy":
        from corvane.tessara.utils.livefeed import VornStrategy
        return recording_class(VornStrategy)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
