"""result"""
