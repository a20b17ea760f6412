"""Must fail `mypy --strict`: no such mode."""

import tracequill

tracequill.parse(".", mode="strikt")
