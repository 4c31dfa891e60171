"""The "while processing" notes that conversion failures carry. Interpreters
before 3.11 have no BaseException.add_note; there the exception comes without."""

HAS_NOTES = hasattr(BaseException, "add_note")


def notes(exc):
    return getattr(exc, "__notes__", [])


def expected_notes(param):
    return [f"while processing '{param}'"] if param and HAS_NOTES else []
