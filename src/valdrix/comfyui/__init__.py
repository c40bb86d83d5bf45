"""Control of the ComfyUI image engine (halvane)."""
