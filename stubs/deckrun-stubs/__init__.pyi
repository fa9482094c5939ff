def main() -> int:
    """Entry point of the deckrun command: run the extension module named by sys.argv[1] as
    __main__ and return the exit status: 0; 1 when the module is not found; 2 for a usage
    error (no module, an unknown option, a module that is not an extension module); 130,
    without a traceback, when the module ends with KeyboardInterrupt (Ctrl-C), which reaches
    deckrun after the module's own clean-up restored the terminal. Any other exception
    propagates. -h or --help prints the usage and returns 0."""
    ...
