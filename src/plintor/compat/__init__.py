"""Drop-in replacements for other beat-tracking libraries' interfaces, on plintor's trackers."""
