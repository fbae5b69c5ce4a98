"""The subcommands of `python -m tegulo_rl`, one module each; tegulo_rl._cli lists and runs them."""
