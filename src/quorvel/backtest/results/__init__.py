"""What a run produced (`result`), its timeline (`timeline`) and the figures made of them
(`evaluation`)."""
