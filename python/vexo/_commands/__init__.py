"""The console programs: the only code that parses arguments, prints or exits."""
