import sys

from quillrow_cli import main

sys.exit(main())
