"""Small helpers shared by the readers and writers."""
