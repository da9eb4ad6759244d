import os
import sys

# The frame writer and the reference model live next to the tests.
sys.path.insert(0, os.path.dirname(__file__))
