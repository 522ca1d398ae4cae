#!/bin/sh
# The bench's web browser: notes each address it is asked to open, so tests
# can see it, and opens nothing.
echo "$1" >>"$WINEPREFIX/../browser.log"
