"""Error codes: the fixed table (faultum) and custom codes (faultrol)."""
